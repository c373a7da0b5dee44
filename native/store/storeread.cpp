#include "storeread.h"

#include "itemclass.h"
#include "reader.h"

#include <automation.h>

#include <ipmsubtree.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <set>

namespace talvenor::nativestore {

namespace {

// NID types of the folder objects a store holds; only normal folders are shown.
constexpr std::uint32_t NidTypeMask = 0x1F;
constexpr std::uint32_t NidTypeNormalFolder = 0x02;
// Messages of a folder's contents; associated (hidden) messages have a type of their own.
constexpr std::uint32_t NidTypeNormalMessage = 0x04;

// A hostile file may give its folders a cycle or a depth no store has.
constexpr int MaxFolderDepth = 256;

// Search folders and anything else that is not a normal folder stay hidden.
std::vector<std::uint32_t> shownFolders(const pst::Store& reader, std::uint32_t folder) {
    std::vector<std::uint32_t> shown;
    for (const std::uint32_t nid : reader.subfolders(folder))
        if ((nid & NidTypeMask) == NidTypeNormalFolder)
            shown.push_back(nid);
    return shown;
}

// The top of the store's mail folders; a store that shows none fails as damaged, not as empty.
std::uint32_t topOfMailFolders(const pst::Store& reader) {
    // A damaged message store leaves the search to the folders' names.
    std::vector<mapi::Property> storeProps;
    try {
        storeProps = reader.storeProperties();
    } catch (const pst::Error&) {
    }
    if (const auto top = pst::findIpmSubtree(reader, storeProps))
        return *top;
    pst::fail("no top of its mail folders (IPM subtree) can be found");
}

// A folder met a second time (listed by two parents, or in a cycle) is not read again: it
// stands in the tree, marked, only so that the walk can say where it was listed twice.
wire::FolderInfo repeatedFolder(const OpenedStore& store, std::uint32_t id) {
    wire::FolderInfo info;
    info.id = id;
    info.repeated = true;
    try {
        info.name = textOf(store.reader->folder(id).props, mapi::tags::DisplayName, store.codepage);
    } catch (const pst::Error&) {
        info.name = QStringLiteral("Folder %1").arg(id, 0, 16);
    }
    return info;
}

// What readFolder gathers beside the tree.
struct TreeWork {
    std::set<std::uint32_t> seen; // folders
    std::unordered_map<std::uint32_t, Listing> listings;
    const std::function<void()>& progress;
};

// Recursion is bounded by MaxFolderDepth, so the stack is too.
wire::FolderInfo readFolder(const OpenedStore& store, std::uint32_t id, bool isRoot, int depth,
                            TreeWork& work) {
    const auto& progress = work.progress;
    if (progress)
        progress();
    const pst::Store& reader = *store.reader;
    wire::FolderInfo info;
    info.id = id;
    try {
        info.name = isRoot
                        ? store.displayName
                        : textOf(reader.folder(id).props, mapi::tags::DisplayName, store.codepage);
    } catch (const pst::Error&) {
        info.name = QStringLiteral("Folder %1").arg(id, 0, 16);
    }
    try {
        Listing listing = listMessages(reader, id);
        info.messages = listing.count();
        work.listings.emplace(id, std::move(listing));
    } catch (const pst::Error& e) {
        const Failure why = store.damaged(e);
        info.contentsFailure = unreadableFolderContents(info.name, store.path, why);
        info.failureCause = why.cause();
    }
    std::vector<std::uint32_t> shown;
    try {
        shown = shownFolders(reader, id);
    } catch (const pst::Error& e) {
        const Failure why = store.damaged(e);
        info.foldersFailure = unreadableSubfolders(info.name, store.path, why);
        info.failureCause = why.cause();
    }
    if (!shown.empty() && depth >= MaxFolderDepth) {
        info.foldersFailure = foldersTooDeep(info.name, store.path, MaxFolderDepth);
        info.failureCause = Cause::Damaged;
        return info;
    }
    for (const std::uint32_t sub : shown)
        info.folders.push_back(work.seen.insert(sub).second
                                   ? readFolder(store, sub, false, depth + 1, work)
                                   : repeatedFolder(store, sub));
    return info;
}

// Mail only: the properties the writer leaves out because the store's map of their names is
// damaged, told once per store.
void tellNamesLost(OpenedStore& store, const mapi::Message& whole, QString& damage) {
    if (!store.reader->namesDamaged() || store.namesLossTold)
        return;
    std::size_t unnamed = 0;
    auto count = [&unnamed](const mapi::PropertyBag& bag) {
        for (const mapi::Property& p : bag.props)
            unnamed += p.id >= 0x8000 && !p.name ? 1 : 0;
    };
    count(whole);
    for (const auto& r : whole.recipients)
        count(r);
    for (const auto& a : whole.attachments)
        count(a);
    if (unnamed == 0)
        return;
    store.namesLossTold = true;
    if (!damage.isEmpty())
        damage += QStringLiteral("; ");
    damage += QStringLiteral("the store's map of named properties is damaged, so the %1 named "
                             "properties of this message, and those of the messages after it, "
                             "are left out of their files")
                  .arg(unnamed);
}

} // namespace

OpenedStore openStore(const QString& path, std::function<void()> progress,
                      std::function<void(std::uint64_t)> beforeValue) {
    OpenedStore opened;
    opened.path = path;
    try {
        pst::ReadOptions options;
        options.progress = std::move(progress);
        options.beforeValue = std::move(beforeValue);
        opened.reader = std::make_unique<const pst::Store>(
            pst::Store::openFile(QFile::encodeName(path).toStdString(), options));
        opened.cutShort =
            cutShortBy(opened.reader->ndb().header(), opened.reader->ndb().fileSize());
        // A damaged message store costs the store's name and code page, not its mail.
        std::vector<mapi::Property> storeProps;
        try {
            storeProps = opened.reader->storeProperties();
        } catch (const pst::Error&) {
        }
        if (const auto cp = declaredCodepage(storeProps))
            opened.codepage = *cp;
        opened.displayName = textOf(storeProps, mapi::tags::DisplayName, opened.codepage);
        if (opened.displayName.isEmpty())
            opened.displayName = QFileInfo(path).completeBaseName();
        return opened;
    } catch (const pst::Error& e) {
        throw damagedStore(path, e, opened.reader ? opened.cutShort : cutShortFile(path));
    }
}

namespace {

bool notDescended(const QString& name) {
    return name == QStringLiteral("Internet Newsgroups") ||
           name == QStringLiteral("All Public Folders");
}

// The tree is as deep as the reader let it be (MaxFolderDepth), so the recursion is bounded.
void planBelow(const wire::FolderInfo& folder, std::vector<const wire::FolderInfo*>& out) {
    if (notDescended(folder.name))
        return;
    for (const wire::FolderInfo& sub : folder.folders) {
        if (sub.repeated)
            continue; // read where it was met first; the walk skips it here
        planBelow(sub, out);
        out.push_back(&sub);
    }
}

void setCounts(wire::FolderInfo& folder,
               const std::unordered_map<std::uint32_t, Listing>& listings) {
    if (const auto it = listings.find(folder.id); it != listings.end() && !folder.repeated)
        folder.messages = it->second.count();
    for (wire::FolderInfo& sub : folder.folders)
        setCounts(sub, listings);
}

} // namespace

std::vector<const wire::FolderInfo*> readingOrder(const wire::FolderInfo& root) {
    std::vector<const wire::FolderInfo*> out;
    planBelow(root, out);
    out.push_back(&root);
    return out;
}

StoreContent readContent(const OpenedStore& store, const std::function<void()>& progress) {
    std::uint32_t top = 0;
    try {
        top = topOfMailFolders(*store.reader);
    } catch (const pst::Error& e) {
        // With the folders' names lost no top can be told, but the messages may all be there:
        // the walk then starts at the root of every folder, and finds them by their parents.
        bool anyMessage = false;
        try {
            anyMessage = !store.reader->messageNodes().empty();
        } catch (const pst::Error&) {
        }
        if (!anyMessage)
            throw damagedStore(store.path, e, store.cutShort);
        top = pst::kNidRootFolder;
    }
    TreeWork work{{top}, {}, progress};
    StoreContent content;
    content.tree = readFolder(store, top, true, 0, work);
    if (store.cutShort) {
        const Failure cut = cutShortStore(store.path, *store.cutShort);
        content.tree.storeDamage = cut.description();
        content.tree.storeDamageCause = cut.cause();
    }
    // Only the folders the walk reads keep their listings, and each message stays with the
    // first of them that lists it: converted once, whatever damage lists it twice.
    std::set<std::uint32_t> listed;
    for (const wire::FolderInfo* folder : readingOrder(content.tree)) {
        const auto it = work.listings.find(folder->id);
        if (it == work.listings.end())
            continue;
        std::vector<std::uint32_t>& messages = it->second.messages;
        messages.erase(std::remove_if(messages.begin(), messages.end(),
                                      [&](std::uint32_t m) { return !listed.insert(m).second; }),
                       messages.end());
        content.listings.insert(work.listings.extract(it));
    }
    // Every message node the store holds that no folder the walk reads lists: one whose folder
    // the walk reads goes back there, after what the table lists; the others lost their folder
    // to a damaged index page or table, or are kept where the walk does not go.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> messageNodes;
    try {
        messageNodes = store.reader->messageNodes();
    } catch (const pst::Error&) {
        // The folders' own listings are all there is to go by.
    }
    Listing recovered;
    for (const auto& [m, parent] : messageNodes) {
        if ((m & NidTypeMask) != NidTypeNormalMessage || listed.count(m))
            continue;
        if (const auto home = content.listings.find(parent); home != content.listings.end()) {
            home->second.messages.push_back(m);
            // One of those the folder counts but could not find.
            home->second.unlisted -= home->second.unlisted > 0 ? 1 : 0;
        } else
            recovered.messages.push_back(m);
    }
    setCounts(content.tree, content.listings);
    if (!recovered.messages.empty()) {
        wire::FolderInfo folder;
        folder.id = wire::RecoveredItemsId;
        folder.name = QStringLiteral("Recovered items");
        folder.recoveredItems = true;
        folder.messages = recovered.count();
        content.tree.folders.push_back(std::move(folder));
        content.listings.emplace(wire::RecoveredItemsId, std::move(recovered));
    }
    return content;
}

Listing listMessages(const pst::Store& reader, std::uint32_t folder) {
    Listing listing;
    for (const std::uint32_t nid : reader.messages(folder))
        if ((nid & NidTypeMask) == NidTypeNormalMessage)
            listing.messages.push_back(nid);
    if (const auto counted = pst::contentCount(reader.folder(folder).props);
        counted && *counted > listing.messages.size())
        listing.unlisted = std::uint32_t(*counted - listing.messages.size());
    return listing;
}

wire::ItemInfo readItem(OpenedStore& store, const Listing& listing, int index) {
    if (listing.standsForUnlisted(index))
        pst::fail(std::to_string(listing.unlisted) +
                  " more items that the folder counts cannot be found in the store, so they are "
                  "not converted");
    const std::uint32_t nid = listing.messages[std::size_t(index - 1)];
    const pst::Store& reader = *store.reader;
    wire::ItemInfo item;
    std::optional<mapi::Message> whole;
    std::exception_ptr failed;
    QString why; // of the failure, for the report of a message saved from damaged data
    std::vector<std::string> lost;
    try {
        whole = reader.message(nid);
    } catch (const pst::Error& e) {
        failed = std::current_exception();
        why = QString::fromUtf8(e.what());
    }
    if (failed) {
        // An item other than mail whose own properties read intact is only skipped, as any
        // item other than mail is: its class and subject are all the walk needs of it.
        try {
            if (const auto node = reader.ndb().node(nid)) {
                auto own = pst::readPropertyContext(pst::Heap(reader.ndb(), *node));
                const int codepage = declaredCodepage(own).value_or(store.codepage);
                const int itemClass =
                    outlookItemClass(textOf(own, mapi::tags::MessageClass, codepage));
                if (itemClass != automation::MailItemClass) {
                    item.itemClass = itemClass;
                    item.subject = displaySubject(textOf(own, mapi::tags::Subject, codepage));
                    return item;
                }
            }
        } catch (const pst::Error&) {
        }
        // Mail, or an item whose class cannot be trusted: read as far as it goes. Only what
        // is mail then is saved, and told as damaged; anything else is reported, since a
        // damaged class may have been mail's.
        try {
            whole = reader.salvageMessage(nid, lost);
        } catch (const pst::Error&) {
            std::rethrow_exception(failed);
        }
    }
    const std::vector<mapi::Property>& props = whole->props;
    const int codepage = declaredCodepage(props).value_or(store.codepage);
    item.itemClass = outlookItemClass(textOf(props, mapi::tags::MessageClass, codepage));
    if (failed && item.itemClass != automation::MailItemClass)
        std::rethrow_exception(failed);
    item.subject = displaySubject(textOf(props, mapi::tags::Subject, codepage));
    if (item.itemClass != automation::MailItemClass)
        return item; // the walk skips it: its class and subject are all it needs
    QString damage;
    if (failed) {
        damage = why;
        if (!lost.empty()) {
            QStringList parts;
            for (const std::string& l : lost)
                parts << QString::fromStdString(l);
            damage += QStringLiteral("; left out: ") + parts.join(QStringLiteral(", "));
        }
    }
    tellNamesLost(store, *whole, damage);
    // Only what was lost: whoever tells it names the file, the folder and the message already.
    item.damage = damage;
    tidyMessage(*whole);
    item.message = std::move(whole);
    return item;
}

QString knownOfMessage(const OpenedStore& store, std::uint32_t folder, const Listing& listing,
                       int index) {
    try {
        if (listing.standsForUnlisted(index))
            return {};
        const std::uint32_t nid = listing.messages.at(std::size_t(index - 1));
        return describeRow(store.reader->contentsRow(folder, nid), store.codepage);
    } catch (const std::exception&) {
    }
    return {};
}

} // namespace talvenor::nativestore
