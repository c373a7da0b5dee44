#include "surface.h"

#include "filechecks.h"

#include <failure.h>

namespace talvenor::nativestore {

using automation::Folder;
using automation::Item;
using automation::Items;

AttachedStore::AttachedStore(QString path, wire::FolderInfo tree,
                             std::unique_ptr<helper::ReadAlong> readAlong)
    : path_(std::move(path)), tree_(std::move(tree)), readAlong_(std::move(readAlong)) {}

AttachedStore::~AttachedStore() = default;

void AttachedStore::check() const {
    if (closed_)
        throw Failure(storefailures::StoreNotAttached,
                      QStringLiteral("The store %1 has been removed.").arg(quotedName(path_)));
}

wire::ItemInfo AttachedStore::wait(std::uint32_t folder, int index) {
    check();
    return readAlong_->wait(folder, index);
}

void AttachedStore::close() {
    closed_ = true;
    readAlong_.reset();
}

namespace {

[[noreturn]] void failIndex(const QString& what, int index, int count) {
    throw Failure(
        failures::InvalidArgument,
        QStringLiteral("There is no %1 %2: the count is %3.").arg(what).arg(index).arg(count));
}

// One item as it was handed over. The walk asks for the same item again by index for each
// property; they all share this one.
class NativeItem : public Item {
public:
    NativeItem(std::shared_ptr<AttachedStore> store, std::shared_ptr<const wire::ItemInfo> info,
               SharedWriter writer)
        : store_(std::move(store)), info_(std::move(info)), writer_(std::move(writer)) {}

    int itemClass() override {
        store_->check();
        return info_->itemClass;
    }

    QString subject() override {
        store_->check();
        return info_->subject.value_or(QString());
    }

    void saveAs(const QString& path) override {
        store_->check();
        if (!writer_ || !*writer_)
            throw Failure(Cause::NotSupported, storefailures::NotSupported,
                          QStringLiteral("Saving as a message file is not supported yet: %1 "
                                         "was not written.")
                              .arg(quotedName(path)));
        if (!info_->message)
            throw Failure(Cause::NotSupported, storefailures::NotSupported,
                          QStringLiteral("Only mail items are converted: %1 was not written.")
                              .arg(quotedName(path)));
        (*writer_)(*info_->message, path);
    }

    QString damage() override {
        store_->check();
        return info_->damage;
    }

private:
    std::shared_ptr<AttachedStore> store_;
    std::shared_ptr<const wire::ItemInfo> info_;
    SharedWriter writer_;
};

class NativeItems : public Items {
public:
    NativeItems(std::shared_ptr<AttachedStore> store, const wire::FolderInfo& folder,
                SharedWriter writer)
        : store_(std::move(store)), folder_(folder), writer_(std::move(writer)) {}

    int count() override {
        store_->check();
        if (!folder_.contentsFailure.isEmpty())
            throw Failure(folder_.failureCause, storefailures::DamagedStore,
                          folder_.contentsFailure);
        return folder_.messages;
    }

    std::unique_ptr<Item> item(int index) override {
        const int n = count();
        if (index < 1 || index > n)
            failIndex(QStringLiteral("item"), index, n);
        // Only the latest item is kept, so memory does not grow with the folder.
        if (index != lastIndex_ || !last_) {
            last_.reset();
            last_ = std::make_shared<const wire::ItemInfo>(store_->wait(folder_.id, index));
            lastIndex_ = index;
        }
        return std::make_unique<NativeItem>(store_, last_, writer_);
    }

private:
    std::shared_ptr<AttachedStore> store_;
    const wire::FolderInfo& folder_; // part of the store's tree
    SharedWriter writer_;
    int lastIndex_ = 0;
    std::shared_ptr<const wire::ItemInfo> last_;
};

class NativeFolder : public Folder {
public:
    NativeFolder(std::shared_ptr<AttachedStore> store, const wire::FolderInfo& folder,
                 SharedWriter writer)
        : store_(std::move(store)), folder_(folder), writer_(std::move(writer)) {
        store_->enlist(this);
    }
    ~NativeFolder() override { store_->discharge(this); }
    NativeFolder(const NativeFolder&) = delete;
    NativeFolder& operator=(const NativeFolder&) = delete;

    QString name() override {
        store_->check();
        return folder_.name;
    }

    int folderCount() override {
        store_->check();
        if (!folder_.foldersFailure.isEmpty())
            throw Failure(folder_.failureCause, storefailures::DamagedStore,
                          folder_.foldersFailure);
        return int(folder_.folders.size());
    }

    std::unique_ptr<Folder> folder(int index) override {
        const int n = folderCount();
        if (index < 1 || index > n)
            failIndex(QStringLiteral("folder"), index, n);
        return std::make_unique<NativeFolder>(store_, folder_.folders[std::size_t(index - 1)],
                                              writer_);
    }

    std::unique_ptr<Items> items() override {
        store_->check();
        return std::make_unique<NativeItems>(store_, folder_, writer_);
    }

    QString entryId() override {
        store_->check();
        return QString::number(folder_.id, 16);
    }

    bool holdsRecoveredItems() override { return folder_.recoveredItems; }

    std::optional<Failure> storeDamage() override {
        if (folder_.storeDamage.isEmpty())
            return std::nullopt;
        return Failure(folder_.storeDamageCause, storefailures::DamagedStore, folder_.storeDamage);
    }

private:
    std::shared_ptr<AttachedStore> store_;
    const wire::FolderInfo& folder_; // part of the store's tree
    SharedWriter writer_;
};

} // namespace

std::unique_ptr<Folder> rootFolder(std::shared_ptr<AttachedStore> store, SharedWriter writer) {
    store->check();
    const wire::FolderInfo& tree = store->tree();
    return std::make_unique<NativeFolder>(std::move(store), tree, std::move(writer));
}

} // namespace talvenor::nativestore
