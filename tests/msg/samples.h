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
Recipient recipient(const std::u16string& name, const std::u16string& address, std::int32_t type);

// One line per property ("tag-or-name type = hex values"), sorted, for each message, recipient
// and attachment, recursing into embedded messages. Properties listed in topLevelSkip (tags
// with type) are left out of the top-level message only.
std::string canonical(const Message& m, const std::set<std::uint32_t>& topLevelSkip = {});

} // namespace msgtest
