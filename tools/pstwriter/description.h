// A whole store described in memory, and its text form (JSON) for the command line and the
// shipped samples. writePst() is the fixture helper tests use to make PST files.
#pragma once

#include "pstwriter.h"

#include <QByteArray>

#include <vector>

namespace talvenor::pstwriter {

struct FolderDescription {
    std::u16string name;
    std::u16string containerClass = u"IPF.Note";
    SpecialFolder special = SpecialFolder::None;
    std::vector<mapi::Message> messages;
    std::vector<FolderDescription> folders;
    // The messages are written, but not listed in the folder's contents table.
    bool emptyContentsTable = false;
    // More rows of the folder's hierarchy table, each the path of a folder from the top
    // ("Inbox/Receipts"; "" is the top folder itself): a folder listed twice, or in a cycle.
    std::vector<std::u16string> alsoLists = {};
};

struct StoreDescription {
    Options options;
    // Folders under "Top of Personal Folders" (the top folder).
    std::vector<FolderDescription> folders;
    // Mail kept in the top folder itself.
    std::vector<mapi::Message> messages;
};

// Writes the store to path; throws Error (leaving nothing at path) when it cannot.
void writePst(const StoreDescription& store, const std::string& path);

// Reads the JSON form; throws Error naming the fault.
StoreDescription parseDescription(const QByteArray& json);

} // namespace talvenor::pstwriter
