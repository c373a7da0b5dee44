// Stores written with the project's own PST writer for the store tests, and what a reader
// must see in them.
#pragma once

#include <description.h>
#include <pstwriter.h>

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace talvenor::testing {

struct ExpectedItem {
    int itemClass;
    QString subject;
};

struct ExpectedFolder {
    QString name;
    std::vector<ExpectedItem> items;
    std::vector<ExpectedFolder> folders;
};

// The names the conversion gives the mail items of a tree, the top folder's own included: each
// subject with the characters no file name may hold turned into spaces, without ".msg".
QStringList mailFileNames(const ExpectedFolder& top);

// A message of the given class with a subject (stored with the prefix marker where the
// writer puts one); an empty class leaves the class out.
mapi::Message simpleMessage(const std::string& messageClass, const std::u16string& subject);

// A mail with everything a message file must carry: recipients, an attachment, an attached
// message with its own recipient and attachment, named and multi-valued properties.
mapi::Message richMessage();

// Writes a store with nested folders, items of many classes, equal, empty, prefixed and
// Unicode subjects; returns the tree a reader must present below the top folder.
ExpectedFolder writeTreeStore(const std::string& path, pstwriter::Format format,
                              std::uint32_t codePage = 1252);

// A store whose message strings are 8-bit in a code page, or of the type the format does not
// use for them.
struct StringCase {
    const char* label;
    pstwriter::Format format;
    std::uint32_t codePage;
    pstwriter::MessageStrings strings;
};
std::vector<StringCase> stringCases();

// Writes one folder of mail items whose classes come in other cases, whose subjects are stored
// with and without the prefix marker and in the case's script, with senders, recipients and
// bodies, all in the case's string type; returns the tree below the top folder.
ExpectedFolder writeStringStore(const std::string& path, const StringCase& c);

// Writes an offline store (4 KiB pages) laid out as a mail server's: "Root - Mailbox" /
// "IPM_SUBTREE" holding Inbox with a sub-folder, Sent Items, a Calendar of appointments and
// meeting requests, and Sync Issues; the message store does not name its IPM subtree.
ExpectedFolder writeOfflineStore(const std::string& path,
                                 pstwriter::Encoding encoding = pstwriter::Encoding::Compressible);

// Writes one folder of `count` small mails.
void writeLargeFolderStore(const std::string& path, int count);

// A store as other writers leave them, and the tree a reader must present below its top folder
// (the top folder's own mail as the root's items).
struct QuirkStore {
    const char* name;
    pstwriter::StoreDescription description;
    ExpectedFolder expected;
};

// Mail in the top folder; a top folder named otherwise ("Top of Outlook data file", or in
// Japanese) that the store does not name; a folder whose contents table lists none of its mail
// (which still names it as parent); all of them in ANSI and offline stores.
std::vector<QuirkStore> quirkStores();

} // namespace talvenor::testing
