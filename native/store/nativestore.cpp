#include "nativestore.h"

#include "filechecks.h"
#include "itemclass.h"
#include "pff.h"
#include "reader.h"

#include <failure.h>

#include <QFileInfo>

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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

// One attached file. Folders and items share it, so that releasing them in any order is safe;
// once the store is removed every further call fails instead of reaching a closed file.
class Store {
public:
    Store(QString path, PffFileHandle file, QString displayName, int codepage)
        : path_(std::move(path)), file_(std::move(file)), displayName_(std::move(displayName)),
          codepage_(codepage) {}

    const QString& path() const { return path_; }
    const QString& displayName() const { return displayName_; }
    int codepage() const { return codepage_; }
    libpff_file_t* file() const {
        if (!file_)
            throw Failure(storefailures::StoreNotAttached,
                          QStringLiteral("The store %1 has been removed.").arg(quotedName(path_)));
        return file_.get();
    }
    void close() {
        if (file_) {
            PffError ignored;
            libpff_file_close(file_.get(), ignored.out());
            file_.reset();
        }
    }

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

class NativeItem : public Item {
public:
    NativeItem(std::shared_ptr<Store> store, PffItem item, SharedWriter writer)
        : store_(std::move(store)), item_(std::move(item)), writer_(std::move(writer)) {}

    int itemClass() override {
        return store_->guarded([&] {
            return outlookItemClass(
                textProperty(item_.get(), mapi::tags::MessageClass, [&] { return codepage(); }));
        });
    }

    QString subject() override {
        return store_->guarded([&] {
            return displaySubject(
                textProperty(item_.get(), mapi::tags::Subject, [&] { return codepage(); }));
        });
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
        return store_->guarded([&] { return nativestore::readMessage(item_.get()); });
    }

private:
    int codepage() {
        if (!codepage_)
            codepage_ = messageCodepage(item_.get()).value_or(store_->codepage());
        return *codepage_;
    }

    std::shared_ptr<Store> store_;
    PffItem item_;
    SharedWriter writer_;
    std::optional<int> codepage_;
};

class NativeItems : public Items {
public:
    NativeItems(std::shared_ptr<Store> store, SharedItem folder, SharedWriter writer)
        : store_(std::move(store)), folder_(std::move(folder)), writer_(std::move(writer)) {}

    int count() override {
        return store_->guarded([&] {
            int n = 0;
            PffError error;
            if (libpff_folder_get_number_of_sub_messages(folder_->get(), &n, error.out()) != 1)
                throw PffFailure(QStringLiteral("cannot read the contents of a folder"), error);
            return n;
        });
    }

    std::unique_ptr<Item> item(int index) override {
        const int n = count();
        if (index < 1 || index > n)
            failIndex(QStringLiteral("item"), index, n);
        return store_->guarded([&] {
            PffItem message;
            PffError error;
            if (libpff_folder_get_sub_message(folder_->get(), index - 1, message.out(),
                                              error.out()) != 1)
                throw PffFailure(QStringLiteral("cannot read item %1 of a folder").arg(index),
                                 error);
            return std::make_unique<NativeItem>(store_, std::move(message), writer_);
        });
    }

private:
    std::shared_ptr<Store> store_;
    SharedItem folder_;
    SharedWriter writer_;
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

enum ChildExit { ChildReadAll = 0, ChildRefused = 3 };

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
        if (options_->containment != Containment::None)
            probeInChild(path, *options_);
        stores_.push_back(openStore(path));
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
