// How the store's damage is worded for the user: a damaged or cut-short file, a folder that
// cannot be listed, an item that cannot be read or was saved from damaged data. Every text
// names the PST file; the failure carries its cause beside the text.
#pragma once

#include <failure.h>
#include <mapi/mapi.h>

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace talvenor::pst {
class Error;
struct Header;
} // namespace talvenor::pst

namespace talvenor::nativestore {

// A file shorter than its own header says: the size the header gives and the size it has.
struct CutShort {
    std::uint64_t headerSize = 0;
    std::uint64_t realSize = 0;
};
// Whether a file of realSize bytes with this header was cut short. Only a header that reads
// intact, gives a size a store can have and keeps its indexes inside that size is believed.
std::optional<CutShort> cutShortBy(const pst::Header& header, std::uint64_t realSize);
// The same for the file at path; nullopt also when it has no header to go by.
std::optional<CutShort> cutShortFile(const QString& path);

// Said once of a file cut short: where it ends and how much of it is missing.
Failure cutShortStore(const QString& path, const CutShort& cut);
// What a part of a file cut short lacks: it lay beyond the end.
Failure beyondTheEnd();
// The reader refused the file or a part of it: the file is damaged, or cut short.
Failure damagedStore(const QString& path, const pst::Error& e,
                     const std::optional<CutShort>& cut = std::nullopt);

// A folder whose messages or sub-folders cannot be listed: "The folder "Inbox" of “x.pst” cannot
// be read, so ...: why". Its messages the index still finds are read as "Recovered items".
QString unreadableFolderContents(const QString& folder, const QString& path, const Failure& why);
QString unreadableSubfolders(const QString& folder, const QString& path, const Failure& why);
// Folders nested deeper than any store has are not read below `limit` levels.
QString foldersTooDeep(const QString& folder, const QString& path, int limit);

// Appended to the failure of an item: which message of which folder it is, and what the
// folder's contents table still says of it (empty: nothing).
QString unreadableMessage(int index, const QString& folder, const QString& known);
// Appended to the failure that stands for the messages a folder counts but nothing lists.
QString unlistedMessages(const QString& folder);

// What a folder's contents-table row says of a message: subject, sender and time.
QString describeRow(const std::vector<mapi::Property>& row, int codepage);

// "4,096 bytes", "447 MB": sizes as the texts give them.
QString byteCount(std::uint64_t bytes);
QString roundedSize(std::uint64_t bytes);

} // namespace talvenor::nativestore
