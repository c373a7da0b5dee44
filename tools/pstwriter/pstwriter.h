// Writes personal-folders (.pst) files: a store with a folder tree of any depth and messages
// described with the project's message model. Messages are written as they are added, so a
// store of any size is written in bounded memory; the B-trees, tables of folders and the
// header are completed by finish(). The file appears under its name only when finish()
// succeeds; until then it lives under a temporary name in the same folder.
#pragma once

#include "ndb.h"

#include "mapi/mapi.h"

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace talvenor::pstwriter {

// Raised for a description that cannot be written and for I/O failures; what() is a message
// fit for the user.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The type a message's strings are written in: the store's own, or the other one, which other
// writers use and readers must accept (8-bit strings in a Unicode store, Unicode in an ANSI one).
enum class MessageStrings { AsStore, String8, Unicode };

struct Options {
    Format format = Format::Unicode;
    Encoding encoding = Encoding::Compressible;
    std::u16string displayName = u"Personal Folders";
    // Code page of 8-bit strings: 1252, 1250, 1251 or 932.
    std::uint32_t codePage = 1252;

    // Ways other writers lay out their stores, which readers meet in files from the wild.
    // Every string value stored with its terminator (U+0000, or a 0 byte for 8-bit strings):
    // in messages, recipients, attachments, folders, the message store and table rows.
    bool terminators = false;
    // The top folder's name; empty for the format's own ("Top of Personal Folders", or
    // "IPM_SUBTREE" in offline stores).
    std::u16string topFolderName;
    // Whether the message store names the top folder (PR_IPM_SUBTREE_ENTRYID); offline stores
    // never do.
    bool ipmSubtreeEntryId = true;
    MessageStrings messageStrings = MessageStrings::AsStore;
    // The B-tree pages spread among the data, as in a store that grew over years, rather than
    // all after it: a copy cut short then keeps part of its index.
    bool spreadPages = false;
    // Every page and block lies at or beyond this offset; what comes before is left as a hole
    // (a sparse file), its allocation maps saying it is taken. Stores of tens of gigabytes
    // without writing them: the offsets above 4 GiB are what a reader must get right.
    std::uint64_t dataFrom = 0;
};

enum class SpecialFolder { None, Inbox, SentItems, DeletedItems, Outbox, Drafts };

using FolderId = std::uint32_t;

class Writer {
public:
    Writer(const std::string& path, Options options = {});
    ~Writer(); // a store not finished is removed
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The IPM subtree, "Top of Personal Folders" unless the options name it otherwise.
    FolderId topFolder() const;
    // Adds a folder. SpecialFolder::DeletedItems names the store's own Deleted Items folder
    // (which always exists) rather than adding another.
    FolderId addFolder(FolderId parent, const std::u16string& name,
                       const std::u16string& containerClass = u"IPF.Note",
                       SpecialFolder special = SpecialFolder::None);
    // Writes a message into a folder; returns its node id. Throws Error, writing nothing,
    // when the message cannot be stored.
    std::uint32_t addMessage(FolderId folder, const mapi::Message& message);
    // The folder's messages still name it as their parent, but its contents table stays empty
    // and its message count says 0, as some writers leave a folder. Only before the folder
    // holds messages.
    void leaveContentsTableEmpty(FolderId folder);
    // One more row in the hierarchy table of `folder`, naming `listed` (any folder: itself, its
    // parent, a sibling) as a sub-folder, as damaged or hostile stores have them. The listed
    // folder keeps its own parent; readers that follow the tables meet it twice, or in a cycle.
    void listFolderUnder(FolderId folder, FolderId listed);
    // The folder's own node and tables are left out of the index, as a damaged index page
    // loses them: its parent still lists it, its messages and sub-folders still name it as
    // their parent.
    void loseFolder(FolderId folder);
    // The folder is left out of its parent's hierarchy table, as a lost row leaves it; it still
    // names the parent.
    void leaveOutOfHierarchy(FolderId folder);
    // Completes the file and moves it to its name.
    void finish();

    // Checks that a message can be written; throws Error naming the fault.
    static void validate(const mapi::Message& message);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Message helpers for the common properties.
namespace build {
// Stores a subject as Outlook does, with the U+0001 marker and prefix length when the subject
// starts with a prefix such as "RE: " (or always without it when withMarker is false).
void setSubject(mapi::Message& m, const std::u16string& subject, bool withMarker = true);
void addRecipient(mapi::Message& m, std::uint32_t type, const std::u16string& name,
                  const std::u16string& address, const std::u16string& addressType = u"SMTP");
void addAttachment(mapi::Message& m, const std::u16string& fileName, const std::string& mimeType,
                   mapi::Bytes data, const std::string& contentId = {});
void addEmbedded(mapi::Message& m, const std::u16string& displayName, mapi::Message inner);
// An OLE object (attach method 6) holding a compound file, as the mail program stores one.
void addOleObject(mapi::Message& m, const std::u16string& displayName, mapi::Bytes compoundFile);
void setNamedStrings(mapi::Message& m, const mapi::PropertyName& name,
                     const std::vector<std::u16string>& values);
void setNamedString(mapi::Message& m, const mapi::PropertyName& name, const std::u16string& value);
// A valid uncompressed ("MELA") compressed-RTF stream holding the given RTF text.
mapi::Bytes rtfUncompressed(const std::string& rtf);
// A compressed ("LZFu") stream holding the given RTF text, with its CRC.
mapi::Bytes rtfCompressed(const std::string& rtf);
// FILETIME (100 ns since 1601) for a Unix time in seconds.
std::uint64_t filetime(std::int64_t unixSeconds);
} // namespace build

} // namespace talvenor::pstwriter
