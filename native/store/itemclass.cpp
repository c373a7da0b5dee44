#include "itemclass.h"

#include <QStringList>

#include <array>

namespace talvenor::nativestore {

namespace {
struct KnownClass {
    const char* messageClass;
    int number;
};

// Longer classes first is not needed: the longest matching prefix wins below.
constexpr std::array<KnownClass, 22> knownClasses{{
    {"IPM.Note", itemclasses::Mail},
    {"REPORT", itemclasses::Report},
    {"IPM.Appointment", itemclasses::Appointment},
    {"IPM.Contact", itemclasses::Contact},
    {"IPM.DistList", itemclasses::DistributionList},
    {"IPM.Task", itemclasses::Task},
    {"IPM.TaskRequest", itemclasses::TaskRequest},
    {"IPM.TaskRequest.Update", itemclasses::TaskRequestUpdate},
    {"IPM.TaskRequest.Accept", itemclasses::TaskRequestAccept},
    {"IPM.TaskRequest.Decline", itemclasses::TaskRequestDecline},
    {"IPM.StickyNote", itemclasses::Note},
    {"IPM.Post", itemclasses::Post},
    {"IPM.Activity", itemclasses::Journal},
    {"IPM.Document", itemclasses::Document},
    {"IPM.Remote", itemclasses::Remote},
    {"IPM.Sharing", itemclasses::Sharing},
    {"IPM.Schedule.Meeting.Request", itemclasses::MeetingRequest},
    {"IPM.Schedule.Meeting.Canceled", itemclasses::MeetingCancellation},
    {"IPM.Schedule.Meeting.Resp.Neg", itemclasses::MeetingResponseNegative},
    {"IPM.Schedule.Meeting.Resp.Pos", itemclasses::MeetingResponsePositive},
    {"IPM.Schedule.Meeting.Resp.Tent", itemclasses::MeetingResponseTentative},
    {"IPM", itemclasses::Post},
}};

// True when every segment of prefix equals the segment of segments at the same place.
bool startsWithSegments(const QStringList& segments, const QStringList& prefix) {
    if (prefix.size() > segments.size())
        return false;
    for (qsizetype i = 0; i < prefix.size(); ++i)
        if (segments[i].compare(prefix[i], Qt::CaseInsensitive) != 0)
            return false;
    return true;
}
} // namespace

int outlookItemClass(const QString& messageClass) {
    const QStringList segments = messageClass.trimmed().split(QLatin1Char('.'));
    int best = itemclasses::Post;
    qsizetype bestLength = 0;
    for (const auto& known : knownClasses) {
        const QStringList prefix = QString::fromLatin1(known.messageClass).split(QLatin1Char('.'));
        if (prefix.size() > bestLength && startsWithSegments(segments, prefix)) {
            best = known.number;
            bestLength = prefix.size();
        }
    }
    return best;
}

QString displaySubject(const QString& stored) {
    if (stored.size() >= 2 && stored.at(0) == QChar(0x0001))
        return stored.mid(2);
    return stored;
}

} // namespace talvenor::nativestore
