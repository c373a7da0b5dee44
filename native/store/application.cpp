// The application and the namespace of the native store: attaching a store starts reading it
// along (in a reading helper, or in this process), and the surface takes what is read.
#include "filechecks.h"
#include "helperprocess.h"
#include "inprocess.h"
#include "nativestore.h"
#include "readalong.h"
#include "surface.h"

#include <failure.h>

namespace talvenor::nativestore {

namespace {

// Starts reading helpers for this store, each going on after the given item.
helper::StartHelper helperStarter(const QString& path, const StoreOptions& options) {
    if (options.containment == Containment::None) {
        ProducerOptions producing;
        producing.maxRecordSize = options.maxRecordSize;
        return [path, producing](helper::ResumePoint from) {
            return inProcessSource(path, from, producing);
        };
    }
    helper::HelperCommand command;
    command.program =
        options.helperProgram.isEmpty() ? helper::helperBesideProgram() : options.helperProgram;
    command.whileWaiting = options.whileWaiting;
    command.clock = options.clock;
    command.arguments << QStringLiteral("--fd=3")
                      << QStringLiteral("--max-record=%1").arg(options.maxRecordSize)
                      << QStringLiteral("--memory-budget=%1").arg(options.helperMemoryBudget)
                      << options.helperArguments;
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
        auto readAlong = std::make_unique<helper::ReadAlong>(path, helperStarter(path, *options_),
                                                             helperLimits(*options_));
        wire::FolderInfo tree = readAlong->open();
        stores_.push_back(
            std::make_shared<AttachedStore>(path, std::move(tree), std::move(readAlong)));
    }

    std::unique_ptr<automation::Folder> lastFolder() override {
        if (stores_.empty())
            throw Failure(storefailures::StoreNotAttached, QStringLiteral("No store is attached."));
        return rootFolder(stores_.back(), SharedWriter(options_, &options_->writer));
    }

    void removeStore(automation::Folder& root) override {
        auto owns = [&root](const auto& store) { return store->owns(&root); };
        const auto it = std::find_if(stores_.begin(), stores_.end(), owns);
        if (it == stores_.end()) {
            for (const auto& gone : removed_)
                if (const auto store = gone.lock(); store && owns(store))
                    throw Failure(storefailures::StoreNotAttached,
                                  QStringLiteral("The store %1 is not attached.")
                                      .arg(quotedName(store->path())));
            throw Failure(failures::InvalidArgument,
                          QStringLiteral("That folder does not belong to an attached store."));
        }
        std::erase_if(removed_, [](const auto& gone) { return gone.expired(); });
        removed_.push_back(*it);
        (*it)->close();
        stores_.erase(it);
        if (options_->storeDetached)
            options_->storeDetached();
    }

    ~NativeNamespace() override {
        for (auto& store : stores_)
            store->close();
        // A store released without being detached still ends its file's writing.
        if (!stores_.empty() && options_->storeDetached) {
            try {
                options_->storeDetached();
            } catch (const std::exception&) {
            }
        }
    }

private:
    std::shared_ptr<const StoreOptions> options_;
    std::vector<std::shared_ptr<AttachedStore>> stores_;
    // Stores removed while some of their folders live on, to tell them apart from strangers.
    std::vector<std::weak_ptr<AttachedStore>> removed_;
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

} // namespace talvenor::nativestore
