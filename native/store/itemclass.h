// What the mail program's object model reports as an item's class, derived from the
// message class the store keeps, and the subject as the mail program shows it.
#pragma once

#include <QString>

namespace talvenor::nativestore {

namespace itemclasses {
constexpr int Appointment = 26;
constexpr int Contact = 40;
constexpr int Document = 41;
constexpr int Journal = 42;
constexpr int Mail = 43;
constexpr int Note = 44;
constexpr int Post = 45;
constexpr int Report = 46;
constexpr int Remote = 47;
constexpr int Task = 48;
constexpr int TaskRequest = 49;
constexpr int TaskRequestUpdate = 50;
constexpr int TaskRequestAccept = 51;
constexpr int TaskRequestDecline = 52;
constexpr int MeetingRequest = 53;
constexpr int MeetingCancellation = 54;
constexpr int MeetingResponseNegative = 55;
constexpr int MeetingResponsePositive = 56;
constexpr int MeetingResponseTentative = 57;
constexpr int DistributionList = 69;
constexpr int Sharing = 104;
} // namespace itemclasses

// The class number of the nearest known ancestor of messageClass, compared case-insensitively
// by whole dot-separated segments; anything unknown is a post item, so that it is never taken
// for mail.
int outlookItemClass(const QString& messageClass);

// A stored subject without the marker (U+0001 and the prefix-length character) that the store
// puts in front of most subjects and that the mail program never shows.
QString displaySubject(const QString& stored);

} // namespace talvenor::nativestore
