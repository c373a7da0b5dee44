// Reads a PST file back with libpff into plain structures, so that tests can compare what the
// writer was given with what an independent reader finds.
#pragma once

#include "mapi/mapi.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace talvenor::pstwriter::test {

struct ReadMessage;

struct ReadAttachment {
    mapi::PropertyBag props;
    mapi::Bytes data;
    std::shared_ptr<ReadMessage> embedded;
};

struct ReadMessage {
    mapi::PropertyBag props;
    std::vector<mapi::PropertyBag> recipients;
    std::vector<ReadAttachment> attachments;
};

struct ReadFolder {
    std::string name;
    mapi::PropertyBag props;
    std::vector<ReadMessage> messages;
    std::vector<ReadFolder> folders;
    const ReadFolder* child(const std::string& n) const;
};

// The root folder of the store (its children are "Top of Personal Folders" and the search
// folders). Throws std::runtime_error with libpff's message when the file cannot be read.
ReadFolder readPst(const std::string& path);

// Reads every message of the store in folder order, handing each to `visit` and keeping none:
// a walk whose memory is libpff's own. Returns the number of messages.
std::size_t forEachPstMessage(const std::string& path,
                              const std::function<void(const ReadMessage&)>& visit);

// Splits a stored multi-valued property into its values.
std::vector<mapi::Bytes> splitMultiValue(std::uint16_t type, const mapi::Bytes& raw);

} // namespace talvenor::pstwriter::test
