#include "itemkind.h"

namespace talvenor {

ItemKind itemKindOfClass(int itemClass) {
    switch (itemClass) {
    case 43:
        return ItemKind::Mail;
    case 26:
        return ItemKind::Appointment;
    case 40:
        return ItemKind::Contact;
    case 69:
        return ItemKind::DistributionList;
    case 48: // a task, and the requests, updates and answers that carry one
    case 49:
    case 50:
    case 51:
    case 52:
        return ItemKind::Task;
    case 44:
        return ItemKind::Note;
    case 45:
        return ItemKind::Post;
    case 46:
        return ItemKind::Report;
    case 53: // meeting requests, cancellations and the three answers
    case 54:
    case 55:
    case 56:
    case 57:
        return ItemKind::MeetingItem;
    default:
        return ItemKind::Other;
    }
}

const char* itemKindToken(ItemKind kind) {
    switch (kind) {
    case ItemKind::Mail:
        return "mail";
    case ItemKind::Appointment:
        return "appointment";
    case ItemKind::Contact:
        return "contact";
    case ItemKind::DistributionList:
        return "distributionList";
    case ItemKind::Task:
        return "task";
    case ItemKind::Note:
        return "note";
    case ItemKind::Post:
        return "post";
    case ItemKind::Report:
        return "report";
    case ItemKind::MeetingItem:
        return "meetingItem";
    case ItemKind::Other:
        return "other";
    }
    return "other";
}

} // namespace talvenor
