#include "nativestore.h"

#include "filechecks.h"
#include "helperprocess.h"
#include "itemclass.h"
#include "readalong.h"
#include "reader.h"
#include "records.h"
#include "wire.h"

#include <ipmsubtree.h>
#include <pststore.h>
#include <walk.h>

#include <failure.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace talvenor::nativestore {

using automation::Folder;
using automation::Item;
using automation::Items;

namespace {

// NID types of the folder objects a store holds; only normal folders are shown.
constexpr std::uint32_t NidTypeMask = 0x1F;
constexpr std::uint32_t NidTypeNormalFolder = 0x02;
// Messages of a folder's contents; associated (hidden) messages have a type of their own.
constexpr std::uint32_t NidTypeNormalMessage = 0x04;
constexpr int DefaultCodepage = 1252;

struct FolderEntry;

// The opened file and what was learnt from its message store on the way.
struct OpenedFile {
    std::shared_ptr<const pst::Store> reader;
    QString displayName;
    int codepage = DefaultCodepage;
};
OpenedFile openFile(const QString& path);

// One attached file. Folders and items share it, so that releasing them in any order is safe;
// once the store is removed every further call fails instead of reaching a closed file.
// When a reading helper hands over the folder tree and the items, this process never opens
// the file itself.
class Store {
public:
    Store(QString path, OpenedFile opened)
        : path_(std::move(path)), reader_(std::move(opened.reader)),
          displayName_(std::move(opened.displayName)), codepage_(opened.codepage) {}
    Store(QString path, wire::FolderInfo tree, std::unique_ptr<helper::ReadAlong> readAlong)
        : path_(std::move(path)), displayName_(tree.name),
          tree_(std::make_shared<const wire::FolderInfo>(std::move(tree))),
          readAlong_(std::move(readAlong)) {}
    ~Store();

    const QString& path() const { return path_; }
    const QString& displayName() const { return displayName_; }
    // The folder tree as the reading helper found it; null when this process reads the file.
    const std::shared_ptr<const wire::FolderInfo>& tree() const { return tree_; }
    int codepage() const { return codepage_; }
    // The loss of every named property to a damaged map is told once, with the first message
    // it costs anything.
    bool tellNamesLost() const { return !std::exchange(namesLossTold_, true); }
    // Throws unless the store is still attached.
    void check() const {
        if (closed_)
            throw Failure(storefailures::StoreNotAttached,
                          QStringLiteral("The store %1 has been removed.").arg(quotedName(path_)));
    }
    const pst::Store& reader() const {
        check();
        if (!reader_)
            throw Failure(storefailures::NotSupported,
                          QStringLiteral("The file %1 is read by the reading helper only, and it "
                                         "hands over only what a conversion needs.")
                              .arg(quotedName(path_)));
        return *reader_;
    }
    void close();

    // The one entry of a folder, however often the walk asks for the folder: what has been
    // read of it (its list of messages, above all) is read once.
    std::shared_ptr<FolderEntry> folderEntry(std::uint32_t id);

    bool readsAlong() const { return readAlong_ != nullptr; }
    // Returns once the helper has read this item without crashing, with what it handed over
    // of it; throws the item's failure.
    wire::ItemInfo waitReadAhead(std::uint32_t folder, int index) {
        check();
        return readAlong_->wait(folder, index);
    }

    // Runs one surface call; the reader's refusals become a "damaged" failure naming the file.
    template <typename F> auto guarded(F&& f) const -> decltype(f()) {
        check();
        try {
            return f();
        } catch (const pst::Error& e) {
            throw damaged(path_, e);
        }
    }

    static Failure damaged(const QString& path, const pst::Error& e) {
        return Failure(storefailures::DamagedStore,
                       QStringLiteral("The file %1 is damaged: %2.")
                           .arg(quotedName(path), QString::fromUtf8(e.what())));
    }

private:
    QString path_;
    std::shared_ptr<const pst::Store> reader_;
    QString displayName_;
    int codepage_ = DefaultCodepage;
    std::shared_ptr<const wire::FolderInfo> tree_;
    std::unordered_map<std::uint32_t, std::shared_ptr<FolderEntry>> folders_;
    bool closed_ = false;
    mutable bool namesLossTold_ = false;
    std::unique_ptr<helper::ReadAlong> readAlong_;
};

// The writer lives in the options, which every object of a session shares.
using SharedWriter = std::shared_ptr<const MessageWriter>;

[[noreturn]] void failIndex(const QString& what, int index, int count) {
    throw Failure(
        failures::InvalidArgument,
        QStringLiteral("There is no %1 %2: the count is %3.").arg(what).arg(index).arg(count));
}

// One folder: what the reading helper told about it, or what this process read of it. A folder
// and its items share it.
struct FolderEntry {
    std::uint32_t id = 0;
    const wire::FolderInfo* info = nullptr; // part of the store's tree
    std::optional<QString> name;
    std::optional<std::vector<std::uint32_t>> shown;    // the sub-folders a user sees
    std::optional<std::vector<std::uint32_t>> messages; // in the contents table's order
    // How many more messages the folder counts than can be found anywhere in the store; they
    // are reported together, as one more item of the folder that cannot be read.
    std::uint32_t unlisted = 0;
};
using SharedFolder = std::shared_ptr<FolderEntry>;

SharedFolder Store::folderEntry(std::uint32_t id) {
    SharedFolder& entry = folders_[id];
    if (!entry) {
        entry = std::make_shared<FolderEntry>();
        entry->id = id;
    }
    return entry;
}

// These throw pst::Error; callers run them guarded.
const std::vector<std::uint32_t>& folderMessages(const Store& store, FolderEntry& folder) {
    if (!folder.messages) {
        std::vector<std::uint32_t> found;
        const pst::Store& reader = store.reader();
        for (const std::uint32_t nid : reader.messages(folder.id))
            if ((nid & NidTypeMask) == NidTypeNormalMessage)
                found.push_back(nid);
        if (const auto counted = pst::contentCount(reader.folder(folder.id).props);
            counted && *counted > found.size())
            folder.unlisted = std::uint32_t(*counted - found.size());
        folder.messages = std::move(found);
    }
    return *folder.messages;
}

// Search folders and anything else that is not a normal folder stay hidden.
const std::vector<std::uint32_t>& shownFolders(const Store& store, FolderEntry& folder) {
    if (!folder.shown) {
        std::vector<std::uint32_t> shown;
        for (const std::uint32_t nid : store.reader().subfolders(folder.id))
            if ((nid & NidTypeMask) == NidTypeNormalFolder)
                shown.push_back(nid);
        folder.shown = std::move(shown);
    }
    return *folder.shown;
}

// One item, with what has been read of it so far: by the reading helper, or by this process.
// The walk asks for the same item again by index for each property; they all share this one.
struct ItemEntry {
    ItemEntry(SharedFolder f, int i) : folder(std::move(f)), index(i) {}
    SharedFolder folder;
    int index;
    std::optional<int> itemClass;
    std::optional<QString> subject;
    std::optional<mapi::Message> message;
    QString damage;
};

// Reads a message of this process's store whole, once, with its class and subject. Only a
// mail item fails for a part that cannot be read: of any other item the walk needs no more
// than its class and subject.
void readItem(const Store& store, ItemEntry& entry) {
    const auto& listed = folderMessages(store, *entry.folder);
    if (std::size_t(entry.index) > listed.size())
        pst::fail(std::to_string(entry.folder->unlisted) +
                  " more items that the folder counts cannot be found in the store, so they are "
                  "not converted");
    const std::uint32_t nid = listed[std::size_t(entry.index - 1)];
    const pst::Store& reader = store.reader();
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
                const int codepage = declaredCodepage(own).value_or(store.codepage());
                const int itemClass =
                    outlookItemClass(textOf(own, mapi::tags::MessageClass, codepage));
                if (itemClass != automation::MailItemClass) {
                    entry.itemClass = itemClass;
                    entry.subject = displaySubject(textOf(own, mapi::tags::Subject, codepage));
                    return;
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
    const int codepage = declaredCodepage(props).value_or(store.codepage());
    entry.itemClass = outlookItemClass(textOf(props, mapi::tags::MessageClass, codepage));
    if (failed && entry.itemClass != automation::MailItemClass) {
        entry.itemClass.reset();
        std::rethrow_exception(failed);
    }
    entry.subject = displaySubject(textOf(props, mapi::tags::Subject, codepage));
    if (failed) {
        entry.damage = why;
        if (!lost.empty()) {
            QStringList parts;
            for (const std::string& l : lost)
                parts << QString::fromStdString(l);
            entry.damage += QStringLiteral("; left out: ") + parts.join(QStringLiteral(", "));
        }
    }
    if (entry.itemClass == automation::MailItemClass && reader.namesDamaged()) {
        // Without their names these properties mean nothing in a message file, so the writer
        // leaves them out: the user hears of it once.
        std::size_t unnamed = 0;
        auto count = [&unnamed](const mapi::PropertyBag& bag) {
            for (const mapi::Property& p : bag.props)
                unnamed += p.id >= 0x8000 && !p.name ? 1 : 0;
        };
        count(*whole);
        for (const auto& r : whole->recipients)
            count(r);
        for (const auto& a : whole->attachments)
            count(a);
        if (unnamed > 0 && store.tellNamesLost()) {
            if (!entry.damage.isEmpty())
                entry.damage += QStringLiteral("; ");
            entry.damage +=
                QStringLiteral("the store's map of named properties is damaged, so the %1 "
                               "named properties of this message, and those of the messages "
                               "after it, are left out of their files")
                    .arg(unnamed);
        }
    }
    tidyMessage(*whole);
    entry.message = std::move(whole);
}

class NativeItem : public Item {
public:
    NativeItem(std::shared_ptr<Store> store, std::shared_ptr<ItemEntry> entry, SharedWriter writer)
        : store_(std::move(store)), entry_(std::move(entry)), writer_(std::move(writer)) {}

    int itemClass() override {
        ensureRead();
        return *entry_->itemClass;
    }

    QString subject() override {
        ensureRead();
        return entry_->subject.value_or(QString());
    }

    void saveAs(const QString& path) override {
        store_->check();
        if (!writer_ || !*writer_)
            throw Failure(storefailures::NotSupported,
                          QStringLiteral("Saving as a message file is not supported yet: %1 "
                                         "was not written.")
                              .arg(quotedName(path)));
        ensureRead();
        if (!entry_->message)
            throw Failure(storefailures::NotSupported,
                          QStringLiteral("Only mail items are converted: %1 was not written.")
                              .arg(quotedName(path)));
        (*writer_)(*entry_->message, path);
    }

    QString damage() override {
        ensureRead();
        return entry_->damage;
    }

    mapi::Message readWhole() {
        ensureRead();
        if (!entry_->message)
            throw Failure(storefailures::NotSupported,
                          QStringLiteral("Only mail items are read whole."));
        return *entry_->message;
    }

private:
    // A removed store refuses the call also when the item is at hand.
    void ensureRead() {
        store_->check();
        if (!entry_->itemClass)
            store_->guarded([&] { readItem(*store_, *entry_); });
    }

    std::shared_ptr<Store> store_;
    std::shared_ptr<ItemEntry> entry_;
    SharedWriter writer_;
};

class NativeItems : public Items {
public:
    NativeItems(std::shared_ptr<Store> store, SharedFolder folder, SharedWriter writer)
        : store_(std::move(store)), folder_(std::move(folder)), writer_(std::move(writer)) {}

    int count() override {
        if (folder_->info && !folder_->info->contentsFailure.isEmpty()) {
            store_->check();
            throw Failure(storefailures::DamagedStore, folder_->info->contentsFailure);
        }
        return store_->guarded([&] {
            return folder_->info ? folder_->info->messages
                                 : int(folderMessages(*store_, *folder_).size()) +
                                       (folder_->unlisted > 0 ? 1 : 0);
        });
    }

    std::unique_ptr<Item> item(int index) override {
        const int n = count();
        if (index < 1 || index > n)
            failIndex(QStringLiteral("item"), index, n);
        // Only the latest item is kept, so memory does not grow with the folder.
        if (index != lastIndex_ || !last_) {
            last_.reset();
            auto entry = std::make_shared<ItemEntry>(folder_, index);
            if (store_->readsAlong()) {
                wire::ItemInfo handed = store_->waitReadAhead(folder_->id, index);
                entry->itemClass = handed.itemClass;
                entry->subject = std::move(handed.subject);
                entry->message = std::move(handed.message);
                entry->damage = std::move(handed.damage);
            } else {
                store_->guarded([&] { readItem(*store_, *entry); });
            }
            last_ = std::move(entry);
            lastIndex_ = index;
        }
        return std::make_unique<NativeItem>(store_, last_, writer_);
    }

private:
    std::shared_ptr<Store> store_;
    SharedFolder folder_;
    SharedWriter writer_;
    int lastIndex_ = 0;
    std::shared_ptr<ItemEntry> last_;
};

class NativeFolder : public Folder {
public:
    NativeFolder(std::shared_ptr<Store> store, SharedFolder folder, bool isRoot,
                 SharedWriter writer)
        : store_(std::move(store)), folder_(std::move(folder)), isRoot_(isRoot),
          writer_(std::move(writer)) {}

    const std::shared_ptr<Store>& store() const { return store_; }

    QString name() override {
        store_->check();
        if (isRoot_)
            return store_->displayName();
        if (folder_->info)
            return folder_->info->name;
        if (!folder_->name)
            folder_->name = store_->guarded([&] {
                return textOf(store_->reader().folder(folder_->id).props, mapi::tags::DisplayName,
                              store_->codepage());
            });
        return *folder_->name;
    }

    int folderCount() override {
        store_->check();
        if (folder_->info && !folder_->info->foldersFailure.isEmpty())
            throw Failure(storefailures::DamagedStore, folder_->info->foldersFailure);
        if (folder_->info)
            return int(folder_->info->folders.size());
        return store_->guarded([&] { return int(shownFolders(*store_, *folder_).size()); });
    }

    std::unique_ptr<Folder> folder(int index) override {
        const int n = folderCount();
        if (index < 1 || index > n)
            failIndex(QStringLiteral("folder"), index, n);
        SharedFolder sub;
        if (folder_->info) {
            const wire::FolderInfo& info = folder_->info->folders[std::size_t(index - 1)];
            sub = store_->folderEntry(info.id);
            sub->info = &info;
        } else {
            sub = store_->folderEntry(shownFolders(*store_, *folder_)[std::size_t(index - 1)]);
        }
        return std::make_unique<NativeFolder>(store_, std::move(sub), false, writer_);
    }

    std::unique_ptr<Items> items() override {
        store_->check();
        return std::make_unique<NativeItems>(store_, folder_, writer_);
    }

    std::uint32_t identifier() const { return folder_->id; }

    // True for the one item that stands for the messages the folder counts but nothing lists.
    bool standsForUnlisted(int index) const {
        return folder_->messages && folder_->unlisted > 0 &&
               std::size_t(index) > folder_->messages->size();
    }

    // What the folder's contents table says of its message at index (1-based): subject,
    // sender and time, as far as the table holds them; empty when nothing is known.
    QString knownOfMessage(int index) const {
        try {
            const std::uint32_t nid = folderMessages(*store_, *folder_).at(std::size_t(index - 1));
            return describeRow(store_->reader().contentsRow(folder_->id, nid), store_->codepage());
        } catch (const std::exception&) {
        }
        return {};
    }

private:
    static QString describeRow(const std::vector<mapi::Property>& row, int codepage) {
        QStringList known;
        if (const QString subject = displaySubject(textOf(row, mapi::tags::Subject, codepage));
            !subject.isEmpty())
            known << QStringLiteral("subject \"%1\"").arg(subject);
        if (const QString from = textOf(row, mapi::tags::SenderName, codepage); !from.isEmpty())
            known << QStringLiteral("from %1").arg(from);
        for (const mapi::Property& p : row)
            if (p.id == mapi::tags::MessageDeliveryTime && p.type == mapi::PtTime &&
                p.value.size() == 8) {
                // FILETIME: 100 ns steps since 1601; 11644473600 s lie before 1970.
                const auto ticks = std::int64_t(mapi::readLe64(p.value.data()));
                const qint64 seconds = ticks / 10000000 - 11644473600LL;
                known << QStringLiteral("received %1")
                             .arg(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
                                      .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")));
            }
        return known.join(QStringLiteral(", "));
    }

    std::shared_ptr<Store> store_;
    SharedFolder folder_;
    bool isRoot_;
    SharedWriter writer_;
};

OpenedFile openFile(const QString& path) {
    try {
        OpenedFile opened;
        opened.reader = std::make_shared<const pst::Store>(
            pst::Store::openFile(QFile::encodeName(path).toStdString()));
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
        throw Store::damaged(path, e);
    }
}

// Opens the file in this process; throws Failure.
std::shared_ptr<Store> openStore(const QString& path) {
    return std::make_shared<Store>(path, openFile(path));
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

std::unique_ptr<NativeFolder> rootFolder(const std::shared_ptr<Store>& store, SharedWriter writer) {
    SharedFolder root;
    if (const auto& tree = store->tree()) {
        store->check();
        root = store->folderEntry(tree->id);
        root->info = tree.get();
    } else {
        root =
            store->folderEntry(store->guarded([&] { return topOfMailFolders(store->reader()); }));
    }
    return std::make_unique<NativeFolder>(store, std::move(root), true, std::move(writer));
}

// The most memory this process has held so far, in KiB.
long peakKb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Faults the reading helper can be told to show, so that the program's answers to them can be
// tried (a comma-separated list of name or name=value).
struct HelperFaults {
    int crashAt = 0;    // raises SIGSEGV before item n of each folder
    int hangAt = 0;     // stops answering before item n
    int badAllocAt = 0; // runs out of memory before item n
    bool crashOpening = false;
    bool hangOpening = false;
    QString holdOpening;            // waits until this file exists before it tells the store opened
    QString logItems;               // appends its process id for every item it reads
    int reopenDelayMs = 0;          // a helper that goes on after an item opens this slowly
    std::uint64_t addressLimit = 0; // RLIMIT_AS

    static HelperFaults parse(const QString& spec) {
        HelperFaults f;
        for (const QString& part : spec.split(u',', Qt::SkipEmptyParts)) {
            const QString name = part.section(u'=', 0, 0);
            const QString value = part.section(u'=', 1);
            if (name == u"crash-at")
                f.crashAt = value.toInt();
            else if (name == u"hang-at")
                f.hangAt = value.toInt();
            else if (name == u"bad-alloc-at")
                f.badAllocAt = value.toInt();
            else if (name == u"crash-opening")
                f.crashOpening = true;
            else if (name == u"hang-opening")
                f.hangOpening = true;
            else if (name == u"hold-opening")
                f.holdOpening = value;
            else if (name == u"log-items")
                f.logItems = value;
            else if (name == u"reopen-delay-ms")
                f.reopenDelayMs = value.toInt();
            else if (name == u"address-limit")
                f.addressLimit = value.toULongLong();
        }
        return f;
    }

    [[noreturn]] static void crash() {
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
        ::_exit(99);
    }
    [[noreturn]] static void hang() {
        for (;;)
            ::pause();
    }

    void beforeItem(int index) const {
        if (!logItems.isEmpty()) {
            QFile log(logItems);
            if (log.open(QIODevice::Append))
                log.write(QByteArray::number(qint64(::getpid())) + '\n');
        }
        if (index == crashAt)
            crash();
        if (index == hangAt)
            hang();
        if (index == badAllocAt)
            throw std::bad_alloc();
    }
};

// The helper's end of the socket. Records larger than the limit are never sent: the item is
// announced as too large instead, so the stream stays in step.
class HelperSocket {
public:
    HelperSocket(int fd, std::uint64_t maxRecordSize) : fd_(fd), maxRecordSize_(maxRecordSize) {}

    void send(records::Type type, std::uint32_t folder, std::int32_t index,
              const wire::Bytes& payload = {}) {
        if (payload.size() > maxRecordSize_) {
            if (type == records::Type::Opened)
                send(records::Type::OpenFailed, 0, 0,
                     records::encodeFailure({storefailures::ItemTooLarge,
                                             QStringLiteral("The folder tree of the store takes "
                                                            "%1 bytes, more than the %2 it may.")
                                                 .arg(payload.size())
                                                 .arg(maxRecordSize_)}));
            else
                send(records::Type::ItemTooLarge, folder, index,
                     records::encodeSize(payload.size()));
            return;
        }
        std::uint8_t header[records::HeaderSize];
        records::encodeHeader({type, folder, index, payload.size()}, header);
        writeAll(header, sizeof header);
        writeAll(payload.data(), payload.size());
        lastSent_ = std::chrono::steady_clock::now();
    }
    // Tells the program it is still at work, at most about once a second.
    void progress() {
        if (std::chrono::steady_clock::now() - lastSent_ >= std::chrono::seconds(1))
            send(records::Type::Progress, 0, 0);
    }

private:
    void writeAll(const void* data, std::size_t size) const {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                ::_exit(helper::exits::ReadAll); // nobody is listening any more
            }
            p += n;
            size -= std::size_t(n);
        }
    }

    int fd_;
    std::uint64_t maxRecordSize_;
    std::chrono::steady_clock::time_point lastSent_ = std::chrono::steady_clock::now();
};

records::FailureInfo failureInfo(const Failure& f) {
    return {f.number(), f.description()};
}

// The folder tree, as the walk reads it before any item. A folder whose messages or
// sub-folders cannot be listed says why, so that the program reports it where the walk meets
// it; the rest of the tree is still converted.
wire::FolderInfo describeTree(NativeFolder& folder, HelperSocket& socket, const QString& path) {
    socket.progress();
    wire::FolderInfo info;
    info.id = folder.identifier();
    try {
        info.name = folder.name();
    } catch (const Failure&) {
        info.name = QStringLiteral("Folder %1").arg(info.id, 0, 16);
    }
    const QString where =
        QStringLiteral("The folder \"%1\" of %2").arg(info.name, quotedName(path));
    try {
        info.messages = folder.items()->count();
    } catch (const Failure& f) {
        info.contentsFailure =
            QStringLiteral("%1 cannot be read, so its messages are not converted: %2")
                .arg(where, f.description());
    }
    int folders = 0;
    try {
        folders = folder.folderCount();
    } catch (const Failure& f) {
        info.foldersFailure =
            QStringLiteral("%1 cannot be read, so its sub-folders are not converted: %2")
                .arg(where, f.description());
    }
    for (int i = 1; i <= folders; ++i) {
        auto sub = folder.folder(i);
        info.folders.push_back(describeTree(static_cast<NativeFolder&>(*sub), socket, path));
    }
    return info;
}

// What the walk reads of an item: the class and subject of every item, the whole message of
// mail items only. Only a mail item fails for a subject that cannot be read.
// `where` names the folder and the file, for the report of a message saved from damaged data.
wire::Bytes describeItem(Item& item, const QString& where) {
    wire::ItemInfo info;
    info.itemClass = item.itemClass();
    if (info.itemClass == automation::MailItemClass) {
        info.subject = item.subject();
        info.message = nativestore::readMessage(item);
        if (const QString damage = item.damage(); !damage.isEmpty())
            info.damage =
                QStringLiteral("The message \"%1\" %2 was saved from damaged data, as far as "
                               "it could be read: %3.")
                    .arg(*info.subject, where, damage);
    } else {
        try {
            info.subject = item.subject();
        } catch (const Failure&) {
        }
    }
    return wire::encodeItem(info);
}

// What a reading helper goes by.
struct HelperRun {
    const QString& path;
    HelperSocket& socket;
    const HelperFaults& faults;
    std::size_t memoryBudget;
    helper::ResumePoint resume;
    long openedKb = 0; // its size once the store was open
};

// A folder's items as the walk reads them, handing each one over once it has been read.
void readFolderItems(NativeFolder& folder, HelperRun& run) {
    HelperSocket& socket = run.socket;
    helper::ResumePoint& resume = run.resume;
    const std::uint32_t id = folder.identifier();
    int first = 1;
    if (resume.folder != 0) {
        if (id != resume.folder)
            return; // read by an earlier helper
        const bool whole = resume.index == records::WholeFolder;
        first = resume.index + (whole ? 0 : 1);
        resume = {};
        if (whole)
            return;
    }
    auto items = folder.items();
    int count = 0;
    try {
        count = items->count();
    } catch (const Failure&) {
        // The tree told the program why; it never asks for these items.
    }
    // For the reports of damaged items; a folder whose name is lost is still read.
    QString name;
    try {
        name = folder.name();
    } catch (const Failure&) {
    }
    const QString where =
        QStringLiteral("of the folder \"%1\" in %2").arg(name, quotedName(run.path));
    socket.send(records::Type::FolderStart, id, first - 1);
    for (int j = first; j <= count; ++j) {
        run.faults.beforeItem(j);
        try {
            auto item = items->item(j);
            socket.send(records::Type::Item, id, j, describeItem(*item, where));
        } catch (const Failure& f) {
            records::FailureInfo failure = failureInfo(f);
            if (f.number() == storefailures::DamagedStore) {
                if (folder.standsForUnlisted(j)) {
                    failure.text += QStringLiteral(" They belong to the folder \"%1\".").arg(name);
                } else {
                    failure.text +=
                        QStringLiteral(" Message %1 of the folder \"%2\" cannot be read")
                            .arg(j)
                            .arg(name);
                    if (const QString known = folder.knownOfMessage(j); !known.isEmpty())
                        failure.text += QStringLiteral(" (%1)").arg(known);
                    failure.text += u'.';
                }
            }
            socket.send(records::Type::ItemFailed, id, j, records::encodeFailure(failure));
        }
        // A helper that has grown past its budget (a store whose items leave something behind)
        // makes room: a fresh helper opens the store anew and goes on after this item.
        if (j < count &&
            std::size_t(std::max(0L, peakKb() - run.openedKb)) * 1024 >= run.memoryBudget)
            ::_exit(helper::exits::MakesRoom);
    }
    socket.send(records::Type::FolderEnd, id, records::WholeFolder);
}

// Everything below a folder in the walk's order: each sub-folder's own sub-folders first, then
// its items. The top folder's own items come after all of them (readerMain).
void readItemsBelow(Folder& folder, HelperRun& run) {
    int folders = 0;
    try {
        folders = folder.folderCount();
    } catch (const Failure&) {
        // The tree told the program why; it never asks for these folders.
    }
    for (int i = 1; i <= folders; ++i) {
        auto sub = folder.folder(i);
        readItemsBelow(*sub, run);
        readFolderItems(static_cast<NativeFolder&>(*sub), run);
    }
}

struct HelperArguments {
    int fd = -1;
    pid_t parent = 0;
    QString path;
    helper::ResumePoint resume;
    std::uint64_t maxRecordSize = records::DefaultMaxRecordSize;
    std::size_t memoryBudget = std::size_t(512) << 20;
    QString faults;
};

std::optional<HelperArguments> parseHelperArguments(int argc, char** argv) {
    HelperArguments a;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const QString value = arg.section(u'=', 1);
        if (arg.startsWith(u"--fd="))
            a.fd = value.toInt();
        else if (arg.startsWith(u"--parent="))
            a.parent = pid_t(value.toLongLong());
        else if (arg.startsWith(u"--resume=")) {
            a.resume.folder = value.section(u':', 0, 0).toUInt();
            a.resume.index = value.section(u':', 1).toInt();
        } else if (arg.startsWith(u"--max-record="))
            a.maxRecordSize = value.toULongLong();
        else if (arg.startsWith(u"--memory-budget="))
            a.memoryBudget = std::size_t(value.toULongLong());
        else if (arg.startsWith(u"--faults="))
            a.faults = value;
        else if (arg == u"--" && i + 1 == argc - 1)
            a.path = QFile::decodeName(argv[++i]);
        else
            return std::nullopt;
    }
    if (a.fd < 0 || a.path.isEmpty())
        return std::nullopt;
    return a;
}

// A bad_alloc where nothing catches it ends in a clear exit code rather than an abort.
[[noreturn]] void endOnTerminate() {
    if (const auto current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            ::_exit(helper::exits::OutOfMemory);
        } catch (...) {
        }
    }
    std::abort();
}

int runHelper(const HelperArguments& args) {
    // Ends with the program, even while the reader is busy: by signal, and when the socket
    // closes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (args.parent != 0 && ::getppid() != args.parent)
        return helper::exits::ReadAll;
    std::thread([fd = args.fd] {
        pollfd p{fd, POLLRDHUP, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        ::_exit(helper::exits::ReadAll);
    }).detach();
    std::set_terminate(endOnTerminate);

    QString spec = args.faults;
    if (spec.isEmpty())
        spec = qEnvironmentVariable("TALVENOR_READER_FAULTS");
    const HelperFaults faults = HelperFaults::parse(spec);
    if (faults.addressLimit != 0) {
        const rlimit limit{faults.addressLimit, faults.addressLimit};
        ::setrlimit(RLIMIT_AS, &limit);
    }

    HelperSocket socket(args.fd, args.maxRecordSize);
    try {
        if (faults.crashOpening)
            HelperFaults::crash();
        if (faults.hangOpening)
            HelperFaults::hang();
        std::shared_ptr<Store> store;
        std::unique_ptr<NativeFolder> root;
        wire::Bytes tree;
        try {
            store = openStore(args.path);
            root = rootFolder(store, nullptr);
            tree = wire::encodeTree(describeTree(*root, socket, args.path));
        } catch (const Failure& f) {
            socket.send(records::Type::OpenFailed, 0, 0, records::encodeFailure(failureInfo(f)));
            return helper::exits::Refused;
        }
        if (args.resume.folder != 0 && faults.reopenDelayMs > 0)
            ::usleep(useconds_t(faults.reopenDelayMs) * 1000);
        if (!faults.holdOpening.isEmpty())
            while (!QFileInfo::exists(faults.holdOpening))
                ::usleep(10 * 1000);
        socket.send(records::Type::Opened, 0, 0, tree);
        HelperRun run{args.path, socket, faults, args.memoryBudget, args.resume, peakKb()};
        readItemsBelow(*root, run);
        // The top folder's own items last, as the walk saves them.
        readFolderItems(*root, run);
        if (run.resume.folder != 0)
            return helper::exits::LostItsPlace;
        socket.send(records::Type::Finished, 0, 0);
        return helper::exits::ReadAll;
    } catch (const std::bad_alloc&) {
        return helper::exits::OutOfMemory;
    } catch (const Failure& f) {
        // A folder that cannot be read after the tree could: the program learns it at its place.
        std::fprintf(stderr, "talvenor-reader: %s\n", qPrintable(f.description()));
        return helper::exits::Refused;
    }
}

Store::~Store() = default;

void Store::close() {
    closed_ = true;
    readAlong_.reset();
    folders_.clear();
    reader_.reset();
}

// Starts reading helpers for this store, each going on after the given item.
helper::StartHelper helperStarter(const QString& path, const StoreOptions& options) {
    helper::HelperCommand command;
    command.program =
        options.helperProgram.isEmpty() ? helper::helperBesideProgram() : options.helperProgram;
    command.whileWaiting = options.whileWaiting;
    command.clock = options.clock;
    command.arguments << QStringLiteral("--fd=3")
                      << QStringLiteral("--max-record=%1").arg(options.maxRecordSize)
                      << QStringLiteral("--memory-budget=%1").arg(options.helperMemoryBudget);
    if (!options.helperFaults.isEmpty())
        command.arguments << QStringLiteral("--faults=") + options.helperFaults;
    return [command, path](helper::ResumePoint from) {
        helper::HelperCommand c = command;
        c.arguments << QStringLiteral("--resume=%1:%2").arg(from.folder).arg(from.index)
                    << QStringLiteral("--") << path;
        return helper::spawnHelper(c);
    };
}

helper::Limits helperLimits(const StoreOptions& options) {
    helper::Limits limits;
    limits.openingSilence = options.openingSilence;
    limits.itemSilence = options.itemSilence;
    limits.maxRecordSize = options.maxRecordSize;
    return limits;
}

QString unquoted(const QString& quotedPath) {
    if (quotedPath.size() >= 2 && quotedPath.startsWith(QLatin1Char('"')) &&
        quotedPath.endsWith(QLatin1Char('"')))
        return quotedPath.mid(1, quotedPath.size() - 2);
    return quotedPath;
}

class NativeNamespace : public automation::Namespace {
public:
    explicit NativeNamespace(std::shared_ptr<const StoreOptions> options)
        : options_(std::move(options)) {}

    void addStore(const QString& quotedPath) override {
        const QString path = unquoted(quotedPath);
        checkStoreFile(path);
        if (options_->containment == Containment::None) {
            stores_.push_back(openStore(path));
            return;
        }
        auto readAlong = std::make_unique<helper::ReadAlong>(path, helperStarter(path, *options_),
                                                             helperLimits(*options_));
        wire::FolderInfo tree = readAlong->open();
        stores_.push_back(std::make_shared<Store>(path, std::move(tree), std::move(readAlong)));
    }

    std::unique_ptr<Folder> lastFolder() override {
        if (stores_.empty())
            throw Failure(storefailures::StoreNotAttached, QStringLiteral("No store is attached."));
        return rootFolder(stores_.back(), SharedWriter(options_, &options_->writer));
    }

    void removeStore(Folder& root) override {
        auto* native = dynamic_cast<NativeFolder*>(&root);
        if (!native)
            throw Failure(failures::InvalidArgument,
                          QStringLiteral("That folder does not belong to an attached store."));
        const auto it = std::find(stores_.begin(), stores_.end(), native->store());
        if (it == stores_.end())
            throw Failure(storefailures::StoreNotAttached,
                          QStringLiteral("The store %1 is not attached.")
                              .arg(quotedName(native->store()->path())));
        (*it)->close();
        stores_.erase(it);
        if (options_->storeDetached)
            options_->storeDetached();
    }

    ~NativeNamespace() override {
        for (auto& store : stores_)
            store->close();
    }

private:
    std::shared_ptr<const StoreOptions> options_;
    std::vector<std::shared_ptr<Store>> stores_;
};

class NativeApplication : public automation::Application {
public:
    explicit NativeApplication(std::shared_ptr<const StoreOptions> options)
        : options_(std::move(options)) {}

    std::unique_ptr<automation::Namespace> getNamespace(const QString& type) override {
        if (type.compare(automation::MapiNamespace, Qt::CaseInsensitive) != 0)
            throw Failure(failures::InvalidArgument,
                          QStringLiteral("There is no namespace \"%1\".").arg(type));
        return std::make_unique<NativeNamespace>(options_);
    }

private:
    std::shared_ptr<const StoreOptions> options_;
};

} // namespace

int readerMain(int argc, char** argv) {
    const auto args = parseHelperArguments(argc, argv);
    if (!args) {
        std::fprintf(stderr, "talvenor-reader is started by talvenor, not by hand\n");
        return helper::exits::Usage;
    }
    return runHelper(*args);
}

NativeApplicationFactory::NativeApplicationFactory(StoreOptions options)
    : options_(std::make_shared<const StoreOptions>(std::move(options))) {}

std::unique_ptr<automation::Application> NativeApplicationFactory::create(const QString&) {
    return std::make_unique<NativeApplication>(options_);
}

mapi::Message readMessage(automation::Item& item) {
    auto* native = dynamic_cast<NativeItem*>(&item);
    if (!native)
        throw Failure(failures::InvalidArgument,
                      QStringLiteral("That item does not belong to a PST store."));
    return native->readWhole();
}

} // namespace talvenor::nativestore
