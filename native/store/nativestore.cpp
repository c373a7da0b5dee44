#include "nativestore.h"

#include "filechecks.h"
#include "itemclass.h"
#include "pff.h"
#include "reader.h"

#include <failure.h>

#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
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
// Where the IPM subtree lives when the store names no other place.
constexpr std::uint32_t DefaultIpmSubtreeNid = 0x8022;
constexpr std::uint16_t IpmSubtreeEntryId = 0x35E0;
constexpr int DefaultCodepage = 1252;

class ReadAlong;

// One attached file. Folders and items share it, so that releasing them in any order is safe;
// once the store is removed every further call fails instead of reaching a closed file.
class Store {
public:
    Store(QString path, PffFileHandle file, QString displayName, int codepage)
        : path_(std::move(path)), file_(std::move(file)), displayName_(std::move(displayName)),
          codepage_(codepage) {}
    ~Store();

    const QString& path() const { return path_; }
    const QString& displayName() const { return displayName_; }
    int codepage() const { return codepage_; }
    libpff_file_t* file() const {
        if (!file_)
            throw Failure(storefailures::StoreNotAttached,
                          QStringLiteral("The store %1 has been removed.").arg(quotedName(path_)));
        return file_.get();
    }
    void close();

    // The child that reads ahead of this process, if any; the store owns it.
    void setReadAlong(std::unique_ptr<ReadAlong> readAlong);
    bool readsAlong() const { return readAlong_ != nullptr; }
    // Returns once libpff has read this item in the child without crashing; throws the
    // "damaged" failure for an item that took the child down.
    void waitReadAhead(std::uint32_t folder, int index);

    // Runs one surface call; libpff's refusals become a "damaged" failure naming the file.
    template <typename F> auto guarded(F&& f) const -> decltype(f()) {
        file();
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
    int codepage_;
    std::unique_ptr<ReadAlong> readAlong_;
};

using SharedItem = std::shared_ptr<PffItem>;
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

// One item as libpff handed it out, with what has been read from it so far. The walk asks for
// the same item again by index for each property; they all share this one.
struct ItemEntry {
    explicit ItemEntry(PffItem pff) : item(std::move(pff)) {}
    PffItem item;
    std::optional<int> codepage;
    std::optional<int> itemClass;
    std::optional<QString> subject;
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
            store_->file();
        return *slot;
    }

    void saveAs(const QString& path) override {
        store_->file();
        if (!writer_ || !*writer_)
            throw Failure(storefailures::NotSupported,
                          QStringLiteral("Saving as a message file is not supported yet: %1 "
                                         "was not written.")
                              .arg(quotedName(path)));
        const mapi::Message message = readWhole();
        (*writer_)(message, path);
    }

    mapi::Message readWhole() {
        return store_->guarded([&] { return nativestore::readMessage(item()); });
    }

private:
    libpff_item_t* item() const { return entry_->item.get(); }

    int codepage() {
        if (!entry_->codepage)
            entry_->codepage = messageCodepage(item()).value_or(store_->codepage());
        return *entry_->codepage;
    }

    std::shared_ptr<Store> store_;
    std::shared_ptr<ItemEntry> entry_;
    SharedWriter writer_;
};

std::uint32_t folderIdentifier(libpff_item_t* folder) {
    std::uint32_t id = 0;
    PffError error;
    if (libpff_item_get_identifier(folder, &id, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot identify a folder"), error);
    return id;
}

class NativeItems : public Items {
public:
    NativeItems(std::shared_ptr<Store> store, SharedItem folder, SharedWriter writer)
        : store_(std::move(store)), folder_(std::move(folder)), writer_(std::move(writer)) {}

    int count() override {
        // A store is only ever read, so the count of a folder stays what it was.
        if (count_) {
            store_->file();
            return *count_;
        }
        count_ = store_->guarded([&] {
            int n = 0;
            PffError error;
            if (libpff_folder_get_number_of_sub_messages(folder_->get(), &n, error.out()) != 1)
                throw PffFailure(QStringLiteral("cannot read the contents of a folder"), error);
            return n;
        });
        return *count_;
    }

    std::unique_ptr<Item> item(int index) override {
        const int n = count();
        if (index < 1 || index > n)
            failIndex(QStringLiteral("item"), index, n);
        // Only the latest item is kept, so memory does not grow with the folder.
        if (index != lastIndex_ || !last_) {
            last_.reset();
            if (store_->readsAlong())
                store_->waitReadAhead(identifier(), index);
            last_ = store_->guarded([&] {
                PffItem message;
                PffError error;
                if (libpff_folder_get_sub_message(folder_->get(), index - 1, message.out(),
                                                  error.out()) != 1)
                    throw PffFailure(QStringLiteral("cannot read item %1 of a folder").arg(index),
                                     error);
                return std::make_shared<ItemEntry>(std::move(message));
            });
            lastIndex_ = index;
        }
        return std::make_unique<NativeItem>(store_, last_, writer_);
    }

    std::uint32_t identifier() {
        if (!identifier_)
            identifier_ = store_->guarded([&] { return folderIdentifier(folder_->get()); });
        return *identifier_;
    }

private:
    std::shared_ptr<Store> store_;
    SharedItem folder_;
    SharedWriter writer_;
    std::optional<std::uint32_t> identifier_;
    std::optional<int> count_;
    int lastIndex_ = 0;
    std::shared_ptr<ItemEntry> last_;
};

class NativeFolder : public Folder {
public:
    NativeFolder(std::shared_ptr<Store> store, PffItem item, bool isRoot, SharedWriter writer)
        : store_(std::move(store)), item_(std::make_shared<PffItem>(std::move(item))),
          isRoot_(isRoot), writer_(std::move(writer)) {}

    const std::shared_ptr<Store>& store() const { return store_; }

    QString name() override {
        if (isRoot_) {
            store_->file();
            return store_->displayName();
        }
        return store_->guarded([&] {
            return textProperty(item_->get(), mapi::tags::DisplayName,
                                [&] { return store_->codepage(); });
        });
    }

    int folderCount() override {
        store_->file();
        return int(shownFolders().size());
    }

    std::unique_ptr<Folder> folder(int index) override {
        const auto& shown = shownFolders();
        if (index < 1 || std::size_t(index) > shown.size())
            failIndex(QStringLiteral("folder"), index, int(shown.size()));
        return store_->guarded([&] {
            return std::make_unique<NativeFolder>(store_, subFolder(shown[index - 1]), false,
                                                  writer_);
        });
    }

    std::unique_ptr<Items> items() override {
        store_->file();
        return std::make_unique<NativeItems>(store_, item_, writer_);
    }

    std::uint32_t identifier() {
        return store_->guarded([&] { return folderIdentifier(item_->get()); });
    }

private:
    PffItem subFolder(int libpffIndex) {
        PffItem sub;
        PffError error;
        if (libpff_folder_get_sub_folder(item_->get(), libpffIndex, sub.out(), error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read a sub-folder"), error);
        return sub;
    }

    // The positions, in libpff's order, of the sub-folders a user sees: search folders and
    // anything else that is not a normal folder stay hidden.
    const std::vector<int>& shownFolders() {
        if (shown_)
            return *shown_;
        shown_ = store_->guarded([&] {
            int n = 0;
            PffError error;
            if (libpff_folder_get_number_of_sub_folders(item_->get(), &n, error.out()) != 1)
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
    SharedItem item_;
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

PffItem itemByNid(libpff_file_t* file, std::uint32_t nid) {
    PffItem item;
    PffError error;
    if (libpff_file_get_item_by_identifier(file, nid, item.out(), error.out()) != 1)
        return {};
    return item;
}

// Opens the file in this process; throws Failure.
std::shared_ptr<Store> openStore(const QString& path) {
    try {
        PffFileHandle file;
        PffError error;
        if (libpff_file_initialize(file.out(), error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot prepare reading"), error);
        if (libpff_file_open(file.get(), path.toLocal8Bit().constData(), LIBPFF_OPEN_READ,
                             error.out()) != 1)
            throw PffFailure(QStringLiteral("libpff cannot open it"), error);
        PffItem store = messageStore(file.get());
        const auto nameProperty = readItemProperty(store.get(), mapi::tags::DisplayName);
        int codepage = DefaultCodepage;
        if (const auto cp = messageCodepage(store.get()))
            codepage = *cp;
        QString displayName;
        if (nameProperty)
            displayName = propertyText(*nameProperty, codepage).value_or(QString());
        if (displayName.isEmpty())
            displayName = QFileInfo(path).completeBaseName();
        // Lets libpff decode 8-bit folder names and the like with the store's code page too.
        libpff_file_set_ascii_codepage(file.get(), codepage, error.out());
        return std::make_shared<Store>(path, std::move(file), displayName, codepage);
    } catch (const PffFailure& e) {
        throw Store::damaged(path, e);
    }
}

std::uint32_t ipmSubtreeNid(libpff_file_t* file) {
    PffItem store = messageStore(file);
    if (const auto entryId = readItemProperty(store.get(), IpmSubtreeEntryId);
        entryId && entryId->type == mapi::PtBinary && entryId->value.size() >= 24)
        return mapi::readLe32(entryId->value.data() + 20);
    return DefaultIpmSubtreeNid;
}

std::unique_ptr<NativeFolder> rootFolder(const std::shared_ptr<Store>& store, SharedWriter writer) {
    return store->guarded([&] {
        PffItem root = itemByNid(store->file(), ipmSubtreeNid(store->file()));
        if (!root)
            root = itemByNid(store->file(), DefaultIpmSubtreeNid);
        if (!root) {
            PffError none;
            throw PffFailure(QStringLiteral("its top folder is missing"), none);
        }
        return std::make_unique<NativeFolder>(store, std::move(root), true, std::move(writer));
    });
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

enum ChildExit { ChildReadAll = 0, ChildRefused = 3, ChildLostItsPlace = 4 };

[[noreturn]] void childProbe(const QString& path, const StoreOptions& options) {
    int code = ChildReadAll;
    try {
        if (options.childProbe) {
            options.childProbe(path);
            ::_exit(code);
        }
        auto store = openStore(path);
        auto root = rootFolder(store, nullptr);
        if (options.containment == Containment::WalkInChild) {
            readEverything(*root);
        } else {
            const int n = root->folderCount();
            for (int i = 1; i <= n; ++i)
                root->folder(i)->items()->count();
        }
    } catch (const Failure&) {
        code = ChildRefused;
    } catch (...) {
        code = ChildRefused;
    }
    // No exit handlers: the child shares the parent's stdio buffers and Qt state.
    ::_exit(code);
}

// Runs childProbe in a child process; throws the "damaged" failure when the child dies.
void probeInChild(const QString& path, const StoreOptions& options) {
    const qint64 size = QFileInfo(path).size();
    const auto limit = options.childTimeLimit + std::chrono::seconds(size / (1024 * 1024));
    const pid_t child = ::fork();
    if (child < 0)
        return; // No child to spare: read in this process as the last resort.
    if (child == 0)
        childProbe(path, options);

    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return;
        if (std::chrono::steady_clock::now() > deadline) {
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

// What the child reports through its pipe. {0, 0}: the store opened and its folder tree was
// read. {folder, 0}: it starts on a folder's items. {folder, n}: item n was read without a
// crash. {folder, INT_MAX}: all of the folder's items.
struct Passed {
    std::uint32_t folder;
    std::int32_t index;
};
constexpr std::int32_t WholeFolder = INT_MAX;

class ChildPipe {
public:
    explicit ChildPipe(int fd) : fd_(fd) {}
    void send(std::uint32_t folder, std::int32_t index) const {
        const Passed record{folder, index};
        // Records are smaller than PIPE_BUF, so each one arrives whole.
        while (::write(fd_, &record, sizeof record) < 0) {
            if (errno != EINTR)
                ::_exit(ChildReadAll); // nobody is listening any more
        }
    }

private:
    int fd_;
};

// The folder tree, as the walk reads it before any item.
void readTree(Folder& folder) {
    folder.name();
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders; ++i) {
        try {
            auto sub = folder.folder(i);
            readTree(*sub);
            sub->items()->count();
        } catch (const Failure&) {
        }
    }
}

// A folder's items as the walk reads them, reporting each one once it has been read.
void readFolderItems(NativeFolder& folder, const ChildPipe& pipe, ResumePoint& resume,
                     const StoreOptions& options) {
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
        try {
            if (options.childReadsItem)
                options.childReadsItem(j);
            auto item = items->item(j);
            if (item->itemClass() == automation::MailItemClass) {
                item->subject();
                nativestore::readMessage(*item);
            }
        } catch (const Failure&) {
        }
        pipe.send(id, j);
    }
    pipe.send(id, WholeFolder);
}

// Everything below a folder in the walk's order: each sub-folder's own sub-folders first, then
// its items. The top folder's own items are never converted.
void readItemsBelow(Folder& folder, const ChildPipe& pipe, ResumePoint& resume,
                    const StoreOptions& options) {
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders; ++i) {
        try {
            auto sub = folder.folder(i);
            readItemsBelow(*sub, pipe, resume, options);
            readFolderItems(static_cast<NativeFolder&>(*sub), pipe, resume, options);
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
        if (options.childProbe) {
            options.childProbe(path);
            ::_exit(code);
        }
        auto store = openStore(path);
        auto root = rootFolder(store, nullptr);
        readTree(*root);
        pipe.send(0, 0);
        readItemsBelow(*root, pipe, resume, options);
        // Last, as nobody converts them, yet the surface hands them out too.
        readFolderItems(*root, pipe, resume, options);
        if (resume.folder != 0)
            code = ChildLostItsPlace;
    } catch (...) {
        code = ChildRefused;
    }
    ::_exit(code);
}

// A child process that reads the whole store alongside this process, a few items ahead of it:
// this process reads an item only after the child has read it without crashing. A child that
// crashes costs the item it crashed on, and a new child goes on after that item.
class ReadAlong {
public:
    ReadAlong(QString path, const StoreOptions& options)
        : path_(std::move(path)), options_(options) {}
    ReadAlong(const ReadAlong&) = delete;
    ReadAlong& operator=(const ReadAlong&) = delete;
    ~ReadAlong() { stop(); }

    // Starts the first child and waits until it has opened the store and read its folders.
    void open() {
        start({});
        const qint64 size = QFileInfo(path_).size();
        const auto limit = options_.childTimeLimit + std::chrono::seconds(size / (1024 * 1024));
        while (!opened_ && !finished_) {
            if (!next(limit, true)) {
                if (crash_)
                    throw Failure(storefailures::DamagedStore,
                                  QStringLiteral("The file %1 is damaged: %2.")
                                      .arg(quotedName(path_), *crash_));
            }
        }
    }

    void wait(std::uint32_t folder, int index) {
        for (;;) {
            if (crashed_.count({folder, index}))
                throw Failure(storefailures::DamagedStore,
                              QStringLiteral("The file %1 is damaged: reading item %2 of a "
                                             "folder made libpff fail.")
                                  .arg(quotedName(path_))
                                  .arg(index));
            if (finished_)
                return;
            if (const auto it = passed_.find(folder); it != passed_.end() && it->second >= index)
                return;
            if (givenUp_)
                throw Failure(storefailures::DamagedStore,
                              QStringLiteral("The file %1 is damaged: %2.")
                                  .arg(quotedName(path_), *givenUp_));
            next(options_.childTimeLimit);
        }
    }

private:
    static constexpr int MaxChildren = 32;

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
        child_ = child;
        fd_ = fds[0];
        ++children_;
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
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 2);
            if (ready > 0) {
                const ssize_t n = ::read(fd_, buffer_ + received_, sizeof buffer_ - received_);
                if (n > 0) {
                    received_ += std::size_t(n);
                    // Everything that has arrived is taken in at once: the child is usually
                    // many items ahead.
                    std::size_t at = 0;
                    for (; received_ - at >= sizeof(Passed); at += sizeof(Passed)) {
                        Passed record{};
                        std::memcpy(&record, buffer_ + at, sizeof record);
                        take(record);
                    }
                    std::memmove(buffer_, buffer_ + at, received_ - at);
                    received_ -= at;
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
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child_, SIGKILL);
                ended(QStringLiteral("reading it does not come to an end"));
                return false;
            }
            if (yield && options_.whileWaiting)
                options_.whileWaiting();
        }
    }

    void take(const Passed& record) {
        if (record.folder == 0) {
            opened_ = true;
            return;
        }
        current_ = {record.folder, record.index};
        int& passed = passed_[record.folder];
        passed = std::max(passed, int(record.index));
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
        if (current_.folder == 0 || current_.index == WholeFolder || children_ >= MaxChildren) {
            givenUp_ = why;
            return;
        }
        const ResumePoint after{current_.folder, current_.index + 1};
        crashed_.insert({after.folder, after.index});
        start(after);
    }

    QString path_;
    const StoreOptions& options_;
    pid_t child_ = -1;
    int fd_ = -1;
    int children_ = 0;
    char buffer_[512 * sizeof(Passed)] = {};
    std::size_t received_ = 0;
    bool opened_ = false;
    bool finished_ = false;
    std::optional<QString> crash_;
    std::optional<QString> givenUp_;
    ResumePoint current_;
    std::unordered_map<std::uint32_t, int> passed_;
    std::set<std::pair<std::uint32_t, int>> crashed_;
};

Store::~Store() = default;

void Store::close() {
    readAlong_.reset();
    if (file_) {
        PffError ignored;
        libpff_file_close(file_.get(), ignored.out());
        file_.reset();
    }
}

void Store::setReadAlong(std::unique_ptr<ReadAlong> readAlong) {
    readAlong_ = std::move(readAlong);
}

void Store::waitReadAhead(std::uint32_t folder, int index) {
    if (readAlong_)
        readAlong_->wait(folder, index);
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
        auto store = openStore(path);
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
