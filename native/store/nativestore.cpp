#include "nativestore.h"

#include "filechecks.h"
#include "itemclass.h"
#include "pff.h"
#include "reader.h"
#include "wire.h"

#include <failure.h>

#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
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
// Where the IPM subtree lives when the store names no other place.
constexpr std::uint32_t DefaultIpmSubtreeNid = 0x8022;
constexpr std::uint16_t IpmSubtreeEntryId = 0x35E0;
constexpr int DefaultCodepage = 1252;

class ReadAlong;
struct FolderEntry;

// The opened file and what was learnt from its message store on the way.
struct OpenedFile {
    PffFileHandle file;
    QString displayName;
    int codepage = DefaultCodepage;
};
OpenedFile openFile(const QString& path);

// One attached file. Folders and items share it, so that releasing them in any order is safe;
// once the store is removed every further call fails instead of reaching a closed file.
// When a reading child hands over the folder tree and the items, the file is opened in this
// process only for what the child could not hand over.
class Store {
public:
    Store(QString path, OpenedFile opened)
        : path_(std::move(path)), file_(std::move(opened.file)),
          displayName_(std::move(opened.displayName)), codepage_(opened.codepage) {}
    Store(QString path, wire::FolderInfo tree, std::function<void()> openedHere)
        : path_(std::move(path)), displayName_(tree.name),
          tree_(std::make_shared<const wire::FolderInfo>(std::move(tree))),
          openedHere_(std::move(openedHere)) {}
    ~Store();

    const QString& path() const { return path_; }
    const QString& displayName() const { return displayName_; }
    // The folder tree as the reading child found it; null when this process reads the file.
    const std::shared_ptr<const wire::FolderInfo>& tree() const { return tree_; }
    int codepage() {
        file();
        return codepage_;
    }
    // Throws unless the store is still attached.
    void check() const {
        if (closed_)
            throw Failure(storefailures::StoreNotAttached,
                          QStringLiteral("The store %1 has been removed.").arg(quotedName(path_)));
    }
    libpff_file_t* file() {
        check();
        if (!file_) {
            // The child has opened this file without harm before it handed anything over.
            if (openedHere_)
                openedHere_();
            OpenedFile opened = openFile(path_);
            file_ = std::move(opened.file);
            codepage_ = opened.codepage;
        }
        return file_.get();
    }
    void close();

    // The one entry of a folder, however often the walk asks for the folder: what has been
    // read of it (its list of messages, above all) is read once.
    std::shared_ptr<FolderEntry> folderEntry(std::uint32_t id);

    // The child that reads ahead of this process, if any; the store owns it.
    void setReadAlong(std::unique_ptr<ReadAlong> readAlong);
    bool readsAlong() const { return readAlong_ != nullptr; }
    // Returns once libpff has read this item in the child without crashing, with what the
    // child handed over of it (nothing when this process has to read it itself); throws the
    // "damaged" failure for an item that took the child down.
    std::optional<wire::ItemInfo> waitReadAhead(std::uint32_t folder, int index);

    // Runs one surface call; libpff's refusals become a "damaged" failure naming the file.
    template <typename F> auto guarded(F&& f) const -> decltype(f()) {
        check();
        try {
            return f();
        } catch (const PffFailure& e) {
            throw damaged(path_, e);
        }
    }

    static Failure damaged(const QString& path, const PffFailure& e) {
        QString text =
            QStringLiteral("The file %1 is damaged: %2.").arg(quotedName(path), e.message());
        if (!e.detail().isEmpty())
            text += QStringLiteral(" (%1)").arg(e.detail());
        return Failure(storefailures::DamagedStore, text);
    }

private:
    QString path_;
    PffFileHandle file_;
    QString displayName_;
    int codepage_ = DefaultCodepage;
    std::shared_ptr<const wire::FolderInfo> tree_;
    std::function<void()> openedHere_;
    std::unordered_map<std::uint32_t, std::shared_ptr<FolderEntry>> folders_;
    bool closed_ = false;
    std::unique_ptr<ReadAlong> readAlong_;
};

// The writer lives in the options, which every object of a session shares.
using SharedWriter = std::shared_ptr<const MessageWriter>;

[[noreturn]] void failIndex(const QString& what, int index, int count) {
    throw Failure(
        failures::InvalidArgument,
        QStringLiteral("There is no %1 %2: the count is %3.").arg(what).arg(index).arg(count));
}

// A text property; the code page is looked up only for 8-bit text.
template <typename Codepage>
QString textProperty(libpff_item_t* item, std::uint16_t id, Codepage&& codepage) {
    const auto property = readItemProperty(item, id);
    if (!property)
        return {};
    return propertyText(*property, property->type == mapi::PtString8 ? codepage() : 0)
        .value_or(QString());
}

PffItem itemByNid(libpff_file_t* file, std::uint32_t nid) {
    PffItem item;
    PffError error;
    if (libpff_file_get_item_by_identifier(file, nid, item.out(), error.out()) != 1)
        return {};
    return item;
}

std::uint32_t folderIdentifier(libpff_item_t* folder) {
    std::uint32_t id = 0;
    PffError error;
    if (libpff_item_get_identifier(folder, &id, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot identify a folder"), error);
    return id;
}

// One folder: what the reading child told about it, and libpff's handle once this process
// reads the folder itself. A folder and its items share it.
struct FolderEntry {
    std::optional<std::uint32_t> id;
    const wire::FolderInfo* info = nullptr; // part of the store's tree
    PffItem item;
    // Where the folder's messages sit among its children in libpff's item tree, in the order
    // of their node ids. The tree is already in memory; libpff's own message list of a folder
    // would read the whole contents table into memory and find each message by a linear
    // search, which made large folders slow and memory grow with their size. A store is only
    // ever read, so this stays what it was.
    struct Message {
        int position;
        // The handle met while looking; libpff finds a child by position only by walking the
        // list of children, so it is kept until the message is read.
        PffItem unread;
    };
    std::optional<std::vector<Message>> messages;
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

// These throw PffFailure; callers run them guarded.
libpff_item_t* folderItem(Store& store, FolderEntry& folder) {
    if (!folder.item) {
        folder.item = itemByNid(store.file(), *folder.id);
        if (!folder.item) {
            PffError none;
            throw PffFailure(QStringLiteral("a folder is missing"), none);
        }
    }
    return folder.item.get();
}

std::uint32_t folderId(FolderEntry& folder) {
    if (!folder.id)
        folder.id = folderIdentifier(folder.item.get());
    return *folder.id;
}

std::vector<FolderEntry::Message>& folderMessages(Store& store, FolderEntry& folder) {
    if (folder.messages)
        return *folder.messages;
    libpff_item_t* pff = folderItem(store, folder);
    int n = 0;
    PffError error;
    if (libpff_item_get_number_of_sub_items(pff, &n, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the contents of a folder"), error);
    std::vector<FolderEntry::Message> found;
    for (int i = 0; i < n; ++i) {
        PffItem sub;
        std::uint32_t id = 0;
        if (libpff_item_get_sub_item(pff, i, sub.out(), error.out()) != 1 ||
            libpff_item_get_identifier(sub.get(), &id, error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read the contents of a folder"), error);
        if ((id & NidTypeMask) == NidTypeNormalMessage)
            found.push_back({i, std::move(sub)});
    }
    folder.messages = std::move(found);
    return *folder.messages;
}

PffItem fetchMessage(Store& store, FolderEntry& folder, int index) {
    auto& entry = folderMessages(store, folder).at(std::size_t(index - 1));
    if (entry.unread)
        return std::move(entry.unread);
    const int position = entry.position;
    PffItem message;
    PffError error;
    if (libpff_item_get_sub_item(folderItem(store, folder), position, message.out(), error.out()) !=
        1)
        throw PffFailure(QStringLiteral("cannot read item %1 of a folder").arg(index), error);
    return message;
}

// One item, with what has been read of it so far: by the reading child, or by this process
// from libpff. The walk asks for the same item again by index for each property; they all
// share this one.
struct ItemEntry {
    ItemEntry(SharedFolder f, int i) : folder(std::move(f)), index(i) {}
    SharedFolder folder;
    int index;
    PffItem item;
    std::optional<int> codepage;
    std::optional<int> itemClass;
    std::optional<QString> subject;
    std::optional<mapi::Message> message;
};

class NativeItem : public Item {
public:
    NativeItem(std::shared_ptr<Store> store, std::shared_ptr<ItemEntry> entry, SharedWriter writer)
        : store_(std::move(store)), entry_(std::move(entry)), writer_(std::move(writer)) {}

    int itemClass() override {
        return cached(entry_->itemClass, [&] {
            return outlookItemClass(
                textProperty(item(), mapi::tags::MessageClass, [&] { return codepage(); }));
        });
    }

    QString subject() override {
        return cached(entry_->subject, [&] {
            return displaySubject(
                textProperty(item(), mapi::tags::Subject, [&] { return codepage(); }));
        });
    }

    // A value read once per item; a removed store still refuses the call when it is cached.
    template <class T, class F> T cached(std::optional<T>& slot, F&& read) {
        if (!slot)
            slot = store_->guarded(std::forward<F>(read));
        else
            store_->check();
        return *slot;
    }

    void saveAs(const QString& path) override {
        store_->check();
        if (!writer_ || !*writer_)
            throw Failure(storefailures::NotSupported,
                          QStringLiteral("Saving as a message file is not supported yet: %1 "
                                         "was not written.")
                              .arg(quotedName(path)));
        if (entry_->message) {
            (*writer_)(*entry_->message, path);
            return;
        }
        const mapi::Message message = readWhole();
        (*writer_)(message, path);
    }

    mapi::Message readWhole() {
        if (entry_->message) {
            store_->check();
            return *entry_->message;
        }
        return store_->guarded([&] { return nativestore::readMessage(item()); });
    }

private:
    libpff_item_t* item() {
        if (!entry_->item)
            entry_->item = fetchMessage(*store_, *entry_->folder, entry_->index);
        return entry_->item.get();
    }

    int codepage() {
        if (!entry_->codepage)
            entry_->codepage = messageCodepage(item()).value_or(store_->codepage());
        return *entry_->codepage;
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
        return store_->guarded([&] {
            return folder_->info ? folder_->info->messages
                                 : int(folderMessages(*store_, *folder_).size());
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
            std::optional<wire::ItemInfo> handed;
            if (store_->readsAlong())
                handed = store_->waitReadAhead(identifier(), index);
            if (handed) {
                entry->itemClass = handed->itemClass;
                entry->subject = std::move(handed->subject);
                entry->message = std::move(handed->message);
            } else {
                store_->guarded([&] { entry->item = fetchMessage(*store_, *folder_, index); });
            }
            last_ = std::move(entry);
            lastIndex_ = index;
        }
        return std::make_unique<NativeItem>(store_, last_, writer_);
    }

    std::uint32_t identifier() {
        return store_->guarded([&] { return folderId(*folder_); });
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
        if (isRoot_) {
            store_->check();
            return store_->displayName();
        }
        if (folder_->info) {
            store_->check();
            return folder_->info->name;
        }
        return store_->guarded([&] {
            return textProperty(folderItem(*store_, *folder_), mapi::tags::DisplayName,
                                [&] { return store_->codepage(); });
        });
    }

    int folderCount() override {
        if (folder_->info) {
            store_->check();
            return int(folder_->info->folders.size());
        }
        return int(shownFolders().size());
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
            store_->guarded([&] {
                PffItem item = subFolder(shownFolders()[index - 1]);
                sub = store_->folderEntry(folderIdentifier(item.get()));
                if (!sub->item)
                    sub->item = std::move(item);
            });
        }
        return std::make_unique<NativeFolder>(store_, std::move(sub), false, writer_);
    }

    std::unique_ptr<Items> items() override {
        store_->check();
        return std::make_unique<NativeItems>(store_, folder_, writer_);
    }

    std::uint32_t identifier() {
        return store_->guarded([&] { return folderId(*folder_); });
    }

private:
    PffItem subFolder(int libpffIndex) {
        PffItem sub;
        PffError error;
        if (libpff_folder_get_sub_folder(folderItem(*store_, *folder_), libpffIndex, sub.out(),
                                         error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read a sub-folder"), error);
        return sub;
    }

    // The positions, in libpff's order, of the sub-folders a user sees: search folders and
    // anything else that is not a normal folder stay hidden.
    const std::vector<int>& shownFolders() {
        if (shown_) {
            store_->check();
            return *shown_;
        }
        shown_ = store_->guarded([&] {
            int n = 0;
            PffError error;
            if (libpff_folder_get_number_of_sub_folders(folderItem(*store_, *folder_), &n,
                                                        error.out()) != 1)
                throw PffFailure(QStringLiteral("cannot read the sub-folders of a folder"), error);
            std::vector<int> shown;
            for (int i = 0; i < n; ++i) {
                PffItem sub = subFolder(i);
                std::uint32_t id = 0;
                if (libpff_item_get_identifier(sub.get(), &id, error.out()) != 1)
                    throw PffFailure(QStringLiteral("cannot identify a sub-folder"), error);
                if ((id & NidTypeMask) == NidTypeNormalFolder)
                    shown.push_back(i);
            }
            return shown;
        });
        return *shown_;
    }

    std::shared_ptr<Store> store_;
    SharedFolder folder_;
    bool isRoot_;
    SharedWriter writer_;
    std::optional<std::vector<int>> shown_;
};

PffItem messageStore(libpff_file_t* file) {
    PffItem store;
    PffError error;
    if (libpff_file_get_message_store(file, store.out(), error.out()) != 1 || !store)
        throw PffFailure(QStringLiteral("the message store is missing"), error);
    return store;
}

OpenedFile openFile(const QString& path) {
    try {
        OpenedFile opened;
        PffError error;
        if (libpff_file_initialize(opened.file.out(), error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot prepare reading"), error);
        if (libpff_file_open(opened.file.get(), path.toLocal8Bit().constData(), LIBPFF_OPEN_READ,
                             error.out()) != 1)
            throw PffFailure(QStringLiteral("libpff cannot open it"), error);
        PffItem store = messageStore(opened.file.get());
        const auto nameProperty = readItemProperty(store.get(), mapi::tags::DisplayName);
        if (const auto cp = messageCodepage(store.get()))
            opened.codepage = *cp;
        if (nameProperty)
            opened.displayName = propertyText(*nameProperty, opened.codepage).value_or(QString());
        if (opened.displayName.isEmpty())
            opened.displayName = QFileInfo(path).completeBaseName();
        // Lets libpff decode 8-bit folder names and the like with the store's code page too.
        libpff_file_set_ascii_codepage(opened.file.get(), opened.codepage, error.out());
        return opened;
    } catch (const PffFailure& e) {
        throw Store::damaged(path, e);
    }
}

// Opens the file in this process; throws Failure.
std::shared_ptr<Store> openStore(const QString& path) {
    return std::make_shared<Store>(path, openFile(path));
}

std::uint32_t ipmSubtreeNid(libpff_file_t* file) {
    PffItem store = messageStore(file);
    if (const auto entryId = readItemProperty(store.get(), IpmSubtreeEntryId);
        entryId && entryId->type == mapi::PtBinary && entryId->value.size() >= 24)
        return mapi::readLe32(entryId->value.data() + 20);
    return DefaultIpmSubtreeNid;
}

std::unique_ptr<NativeFolder> rootFolder(const std::shared_ptr<Store>& store, SharedWriter writer) {
    auto root = std::make_shared<FolderEntry>();
    if (const auto& tree = store->tree()) {
        store->check();
        root->id = tree->id;
        root->info = tree.get();
    } else {
        store->guarded([&] {
            root->item = itemByNid(store->file(), ipmSubtreeNid(store->file()));
            if (!root->item)
                root->item = itemByNid(store->file(), DefaultIpmSubtreeNid);
            if (!root->item) {
                PffError none;
                throw PffFailure(QStringLiteral("its top folder is missing"), none);
            }
        });
    }
    return std::make_unique<NativeFolder>(store, std::move(root), true, std::move(writer));
}

// Reads everything the walk and the message-file writer would read, to learn in the child
// whether the file crashes libpff. Failures are the walk's business, not a crash.
void readEverything(Folder& folder) {
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders; ++i) {
        try {
            auto sub = folder.folder(i);
            readEverything(*sub);
        } catch (const Failure&) {
        }
    }
    try {
        auto items = folder.items();
        const int count = items->count();
        for (int j = 1; j <= count; ++j) {
            try {
                // What the walk reads: the class of every item, the rest of mail items only.
                auto item = items->item(j);
                if (item->itemClass() != automation::MailItemClass)
                    continue;
                item->subject();
                nativestore::readMessage(*item);
            } catch (const Failure&) {
            }
        }
    } catch (const Failure&) {
    }
}

enum ChildExit { ChildReadAll = 0, ChildRefused = 3, ChildLostItsPlace = 4, ChildMakesRoom = 5 };

// The most memory this process has held so far, in KiB.
long peakKb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// How long a child may take to open the store and read its folder tree.
std::chrono::seconds openingLimit(const QString& path, const StoreOptions& options) {
    const qint64 size = QFileInfo(path).size();
    return options.childTimeLimit + std::chrono::seconds(size / (1024 * 1024));
}

// Opens the store in a child process and finds its top folder; the probe seam, when set,
// replaces the child's whole work.
std::unique_ptr<NativeFolder> openInChild(const QString& path, const StoreOptions& options) {
    if (options.childProbe) {
        options.childProbe(path);
        ::_exit(ChildReadAll);
    }
    return rootFolder(openStore(path), nullptr);
}

[[noreturn]] void childProbe(const QString& path, const StoreOptions& options) {
    int code = ChildReadAll;
    try {
        auto root = openInChild(path, options);
        if (options.containment == Containment::WalkInChild) {
            readEverything(*root);
        } else {
            const int n = root->folderCount();
            for (int i = 1; i <= n; ++i)
                root->folder(i)->items()->count();
        }
    } catch (...) {
        code = ChildRefused;
    }
    // No exit handlers: the child shares the parent's stdio buffers and Qt state.
    ::_exit(code);
}

// Runs childProbe in a child process; throws the "damaged" failure when the child dies.
void probeInChild(const QString& path, const StoreOptions& options) {
    const auto limit = openingLimit(path, options);
    const pid_t child = ::fork();
    if (child < 0)
        return; // No child to spare: read in this process as the last resort.
    if (child == 0)
        childProbe(path, options);

    const auto deadline = options.clock() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return;
        if (options.clock() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            throw Failure(storefailures::DamagedStore,
                          QStringLiteral("The file %1 is damaged: reading it does not come to "
                                         "an end.")
                              .arg(quotedName(path)));
        }
        if (options.whileWaiting)
            options.whileWaiting();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status) &&
        (WEXITSTATUS(status) == ChildReadAll || WEXITSTATUS(status) == ChildRefused))
        return;
    const QString how = WIFSIGNALED(status)
                            ? QStringLiteral("signal %1").arg(WTERMSIG(status))
                            : QStringLiteral("exit code %1").arg(WEXITSTATUS(status));
    throw Failure(storefailures::DamagedStore,
                  QStringLiteral("The file %1 is damaged: reading it made libpff fail (%2).")
                      .arg(quotedName(path), how));
}

// Where a reading child starts: from the beginning, or after the item that took the last child
// down.
struct ResumePoint {
    std::uint32_t folder = 0;
    int index = 0;
};

// What the child sends through its pipe: a header, then size bytes. {0, 0}: the store opened,
// with its folder tree (no bytes when the tree could not be read whole). {folder, 0}: it
// starts on a folder's items. {folder, n}: item n was read without a crash, with what the walk
// will ask of it (no bytes when something of it could not be read). {folder, INT_MAX}: all of
// the folder's items.
struct RecordHeader {
    std::uint32_t folder;
    std::int32_t index;
    std::uint32_t size;
};
constexpr std::int32_t WholeFolder = INT_MAX;
// A record claiming more than this means the child went astray.
constexpr std::uint32_t MaxRecordSize = 1U << 30;

class ChildPipe {
public:
    explicit ChildPipe(int fd) : fd_(fd) {}
    void send(std::uint32_t folder, std::int32_t index, const wire::Bytes& payload = {}) const {
        const RecordHeader header{folder, index, std::uint32_t(payload.size())};
        writeAll(&header, sizeof header);
        writeAll(payload.data(), payload.size());
    }

private:
    void writeAll(const void* data, std::size_t size) const {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd_, p, size);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                ::_exit(ChildReadAll); // nobody is listening any more
            }
            p += n;
            size -= std::size_t(n);
        }
    }

    int fd_;
};

// The folder tree, as the walk reads it before any item. Throws Failure when any of it cannot
// be read: the program then reads the tree itself and meets the failure where the walk does.
wire::FolderInfo describeTree(NativeFolder& folder) {
    wire::FolderInfo info;
    info.id = folder.identifier();
    info.name = folder.name();
    info.messages = folder.items()->count();
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders; ++i) {
        auto sub = folder.folder(i);
        info.folders.push_back(describeTree(static_cast<NativeFolder&>(*sub)));
    }
    return info;
}

// What the walk reads of an item: the class of every item, the rest of mail items only.
wire::Bytes describeItem(Item& item) {
    wire::ItemInfo info;
    info.itemClass = item.itemClass();
    if (info.itemClass == automation::MailItemClass) {
        info.subject = item.subject();
        info.message = nativestore::readMessage(item);
    }
    return wire::encodeItem(info);
}

// What a reading child goes by.
struct ChildRun {
    const ChildPipe& pipe;
    const StoreOptions& options;
    ResumePoint resume;
    long openedKb = 0; // its size once the store was open
};

// A folder's items as the walk reads them, handing each one over once it has been read.
void readFolderItems(NativeFolder& folder, ChildRun& run) {
    const ChildPipe& pipe = run.pipe;
    ResumePoint& resume = run.resume;
    const std::uint32_t id = folder.identifier();
    int first = 1;
    if (resume.folder != 0) {
        if (id != resume.folder)
            return; // read by an earlier child
        first = resume.index + 1;
        resume = {};
    }
    auto items = folder.items();
    const int count = items->count();
    pipe.send(id, first - 1);
    for (int j = first; j <= count; ++j) {
        wire::Bytes described;
        try {
            if (run.options.childReadsItem)
                run.options.childReadsItem(j);
            auto item = items->item(j);
            described = describeItem(*item);
        } catch (const Failure&) {
        }
        pipe.send(id, j, described);
        // libpff keeps every part of the store's index it has read; a fresh child that opens
        // the store anew goes on after this item.
        if (j < count && std::size_t(std::max(0L, peakKb() - run.openedKb)) * 1024 >=
                             run.options.childMemoryBudget)
            ::_exit(ChildMakesRoom);
    }
    pipe.send(id, WholeFolder);
}

// Everything below a folder in the walk's order: each sub-folder's own sub-folders first, then
// its items. The top folder's own items are never converted.
void readItemsBelow(Folder& folder, ChildRun& run) {
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders; ++i) {
        try {
            auto sub = folder.folder(i);
            readItemsBelow(*sub, run);
            readFolderItems(static_cast<NativeFolder&>(*sub), run);
        } catch (const Failure&) {
        }
    }
}

[[noreturn]] void readAlongChild(const QString& path, const StoreOptions& options, int fd,
                                 ResumePoint resume) {
    std::signal(SIGPIPE, SIG_IGN);
    const ChildPipe pipe(fd);
    int code = ChildReadAll;
    try {
        auto root = openInChild(path, options);
        if (options.childOpened)
            options.childOpened();
        wire::Bytes tree;
        try {
            tree = wire::encodeTree(describeTree(*root));
        } catch (const Failure&) {
        }
        pipe.send(0, 0, tree);
        ChildRun run{pipe, options, resume, peakKb()};
        readItemsBelow(*root, run);
        // Last, as nobody converts them, yet the surface hands them out too.
        readFolderItems(*root, run);
        if (run.resume.folder != 0)
            code = ChildLostItsPlace;
    } catch (...) {
        code = ChildRefused;
    }
    ::_exit(code);
}

// A child process that reads the whole store alongside this process, ahead of it, and hands
// over the folder tree and every item it has read: this process takes an item only after the
// child has read it without crashing, and reads the file itself only for what the child could
// not hand over. A child that crashes costs the item it crashed on, and a new child goes on
// after that item. The child runs ahead by what the pipe holds, no further.
class ReadAlong {
public:
    ReadAlong(QString path, const StoreOptions& options)
        : path_(std::move(path)), options_(options) {}
    ReadAlong(const ReadAlong&) = delete;
    ReadAlong& operator=(const ReadAlong&) = delete;
    ~ReadAlong() { stop(); }

    // Starts the first child and waits until it has opened the store and read its folders.
    // Afterwards tree() has the folder tree, unless the child could not read all of it.
    void open() {
        start({});
        while (!opened_ && !finished_) {
            if (!next(openingLimit(path_, options_), true)) {
                if (crash_)
                    throw Failure(storefailures::DamagedStore,
                                  QStringLiteral("The file %1 is damaged: %2.")
                                      .arg(quotedName(path_), *crash_));
            }
        }
    }

    std::optional<wire::FolderInfo> takeTree() { return std::exchange(tree_, std::nullopt); }

    std::optional<wire::ItemInfo> wait(std::uint32_t folder, int index) {
        for (;;) {
            if (crashed_.count({folder, index}))
                throw Failure(storefailures::DamagedStore,
                              QStringLiteral("The file %1 is damaged: reading item %2 of a "
                                             "folder made libpff fail.")
                                  .arg(quotedName(path_))
                                  .arg(index));
            if (auto handed = handedOver(folder, index))
                return handed;
            if (finished_)
                return std::nullopt;
            if (const auto it = passed_.find(folder); it != passed_.end() && it->second >= index)
                return std::nullopt;
            if (givenUp_)
                throw Failure(storefailures::DamagedStore,
                              QStringLiteral("The file %1 is damaged: %2.")
                                  .arg(quotedName(path_), *givenUp_));
            // A child started after another one first opens the store again.
            next(reopening_ ? openingLimit(path_, options_) : options_.childTimeLimit);
        }
    }

private:
    // Children started after a crash count, those that made room do not.
    static constexpr int MaxChildren = 32;
    // Items handed over but not yet asked for are kept up to this much; beyond it the oldest
    // are dropped (this process then reads them itself, should the walk still ask).
    static constexpr std::size_t MaxKept = 64U << 20;
    static constexpr std::size_t ReadChunk = 256U << 10;

    // The item if the child has handed it over. The child reads in the walk's order, so what
    // it handed over before this item is something the walk has gone past.
    std::optional<wire::ItemInfo> handedOver(std::uint32_t folder, int index) {
        const auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) {
            return k.folder == folder && k.index == index;
        });
        if (it == kept_.end())
            return std::nullopt;
        auto item = std::move(it->item);
        for (auto drop = kept_.begin(); drop != std::next(it); ++drop)
            keptBytes_ -= drop->size;
        kept_.erase(kept_.begin(), std::next(it));
        return item;
    }

    void start(ResumePoint from) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            finished_ = true; // no child to spare: read in this process as the last resort
            return;
        }
        const pid_t child = ::fork();
        if (child < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            finished_ = true;
            return;
        }
        if (child == 0) {
            ::close(fds[0]);
            readAlongChild(path_, options_, fds[1], from);
        }
        ::close(fds[1]);
        // A roomier pipe lets the child run further ahead (the system may refuse; so be it).
        ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
        reopening_ = opened_;
        child_ = child;
        fd_ = fds[0];
        received_ = 0;
    }

    void stop() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            int status = 0;
            ::waitpid(child_, &status, 0);
            child_ = -1;
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Takes in what the child reports next; false when the child ended without a report.
    // The window gets its turns only while the store is being opened: in the middle of an
    // item the walk must not be re-entered.
    bool next(std::chrono::seconds limit, bool yield = false) {
        const auto deadline = options_.clock() + limit;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 2);
            if (ready > 0) {
                if (buffer_.size() - received_ < ReadChunk)
                    buffer_.resize(std::max(buffer_.size() * 2, received_ + ReadChunk));
                const ssize_t n = ::read(fd_, buffer_.data() + received_, ReadChunk);
                if (n > 0) {
                    received_ += std::size_t(n);
                    // Every whole record that has arrived is taken in at once.
                    std::size_t at = 0;
                    RecordHeader header{};
                    while (received_ - at >= sizeof header) {
                        std::memcpy(&header, buffer_.data() + at, sizeof header);
                        if (header.size > MaxRecordSize) {
                            ::kill(child_, SIGKILL);
                            ended(QStringLiteral("its reader went astray"));
                            return false;
                        }
                        if (received_ - at - sizeof header < header.size)
                            break;
                        take(header, buffer_.data() + at + sizeof header);
                        at += sizeof header + header.size;
                    }
                    std::memmove(buffer_.data(), buffer_.data() + at, received_ - at);
                    received_ -= at;
                    // A very large item leaves no very large buffer behind.
                    if (buffer_.size() > 4 * ReadChunk && received_ < ReadChunk) {
                        buffer_.resize(2 * ReadChunk);
                        buffer_.shrink_to_fit();
                    }
                    return true;
                }
                if (n == 0 || errno != EINTR) {
                    ended();
                    return false;
                }
            } else if (ready < 0 && errno != EINTR) {
                ended();
                return false;
            }
            if (options_.clock() > deadline) {
                ::kill(child_, SIGKILL);
                ended(QStringLiteral("reading it does not come to an end"));
                return false;
            }
            if (yield && options_.whileWaiting)
                options_.whileWaiting();
        }
    }

    void take(const RecordHeader& record, const std::uint8_t* payload) {
        if (record.folder == 0) {
            reopening_ = false;
            // A later child, after a crash, sends the tree again; the first one stands.
            if (!opened_ && record.size > 0)
                tree_ = wire::decodeTree(payload, record.size);
            opened_ = true;
            return;
        }
        current_ = {record.folder, record.index};
        int& passed = passed_[record.folder];
        passed = std::max(passed, int(record.index));
        if (record.index < 1 || record.index == WholeFolder || record.size == 0)
            return;
        // Taken apart at once, so that the bytes are not held twice; bytes that do not make
        // sense leave the item to be read here.
        keptBytes_ += record.size;
        kept_.push_back(
            {record.folder, record.index, wire::decodeItem(payload, record.size), record.size});
        while (keptBytes_ > MaxKept && kept_.size() > 1) {
            keptBytes_ -= kept_.front().size;
            kept_.pop_front();
        }
    }

    void ended(std::optional<QString> why = std::nullopt) {
        int status = 0;
        ::waitpid(child_, &status, 0);
        child_ = -1;
        ::close(fd_);
        fd_ = -1;
        if (!why) {
            if (WIFEXITED(status) &&
                (WEXITSTATUS(status) == ChildReadAll || WEXITSTATUS(status) == ChildRefused)) {
                finished_ = true;
                return;
            }
            // A child that grew too large stops right after reporting an item.
            if (WIFEXITED(status) && WEXITSTATUS(status) == ChildMakesRoom && opened_ &&
                current_.folder != 0 && current_.index >= 1 && current_.index != WholeFolder) {
                start({current_.folder, current_.index});
                return;
            }
            why = WIFSIGNALED(status) ? QStringLiteral("reading it made libpff fail (signal %1)")
                                            .arg(WTERMSIG(status))
                                      : QStringLiteral("reading it made libpff fail (exit code %1)")
                                            .arg(WEXITSTATUS(status));
        }
        if (!opened_) {
            crash_ = why;
            return;
        }
        // The item after the last one reported is the one that took the child down.
        if (current_.folder == 0 || current_.index == WholeFolder || crashes_ + 1 >= MaxChildren) {
            givenUp_ = why;
            return;
        }
        ++crashes_;
        const ResumePoint after{current_.folder, current_.index + 1};
        crashed_.insert({after.folder, after.index});
        start(after);
    }

    QString path_;
    const StoreOptions& options_;
    pid_t child_ = -1;
    int fd_ = -1;
    int crashes_ = 0;
    std::vector<std::uint8_t> buffer_; // its first received_ bytes have arrived
    std::size_t received_ = 0;
    struct Kept {
        std::uint32_t folder;
        int index;
        std::optional<wire::ItemInfo> item;
        std::size_t size;
    };
    std::deque<Kept> kept_;
    std::size_t keptBytes_ = 0;
    std::optional<wire::FolderInfo> tree_;
    bool opened_ = false;
    bool reopening_ = false;
    bool finished_ = false;
    std::optional<QString> crash_;
    std::optional<QString> givenUp_;
    ResumePoint current_;
    std::unordered_map<std::uint32_t, int> passed_;
    std::set<std::pair<std::uint32_t, int>> crashed_;
};

Store::~Store() = default;

void Store::close() {
    closed_ = true;
    readAlong_.reset();
    folders_.clear();
    if (file_) {
        PffError ignored;
        libpff_file_close(file_.get(), ignored.out());
        file_.reset();
    }
}

void Store::setReadAlong(std::unique_ptr<ReadAlong> readAlong) {
    readAlong_ = std::move(readAlong);
}

std::optional<wire::ItemInfo> Store::waitReadAhead(std::uint32_t folder, int index) {
    if (readAlong_)
        return readAlong_->wait(folder, index);
    return std::nullopt;
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
        std::unique_ptr<ReadAlong> readAlong;
        if (options_->containment == Containment::ReadAlong) {
            readAlong = std::make_unique<ReadAlong>(path, *options_);
            readAlong->open();
        } else if (options_->containment != Containment::None) {
            probeInChild(path, *options_);
        }
        std::shared_ptr<Store> store;
        if (auto tree = readAlong ? readAlong->takeTree() : std::nullopt) {
            store = std::make_shared<Store>(path, std::move(*tree), options_->openedHere);
        } else {
            if (options_->openedHere)
                options_->openedHere();
            store = openStore(path);
        }
        store->setReadAlong(std::move(readAlong));
        stores_.push_back(std::move(store));
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
