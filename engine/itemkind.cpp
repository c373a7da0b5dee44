#include "itemkind.h"

namespace talvenor {

ItemKind itemKindOfClass(int itemClass) {
    switch (itemClass) {
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

} // namespace talvenor
