// Messages for the .msg tests, and a canonical text of a message for comparing two of them.
#pragma once

#include "mapi/mapi.h"

#include <set>
#include <string>
#include <vector>

namespace msgtest {

using namespace talvenor::mapi;

struct Sample {
    const char* name;
    Message message;
};

std::vector<Sample> samples();

Message plainMessage(const std::u16string& subject);
Property named(const PropertyName& name, std::uint16_t type, Bytes value);
PropertyName lidName(const Guid& guid, std::uint32_t lid);
PropertyName stringName(const Guid& guid, const std::u16string& name);
Attachment fileAttachment(const std::u16string& filename, Bytes data);
// A small compound file like an OLE object's storage: streams, a sub-storage, a class id.
Bytes oleObjectImage();
Attachment oleAttachment();
Recipient recipient(const std::u16string& name, const std::u16string& address, std::int32_t type);

// The message as a file holds it: without the message's size; recipients without the store's
// row id and version (0x67F2, 0x67F3) and with PR_ROWID numbering them when they lack one;
// attachments without their size and with their number and rendering position when they lack
// them; the same below embedded messages.
Message asWritten(Message m);

// One line per property ("tag-or-name type = hex values"), sorted, for each message, recipient
// and attachment, recursing into embedded messages. Properties listed in topLevelSkip (tags
// with type) are left out of the top-level message only.
std::string canonical(const Message& m, const std::set<std::uint32_t>& topLevelSkip = {});

} // namespace msgtest
