// The automation surface over a store read along: folders, items and their properties, all
// from the folder tree and the item records the producer sent. This process never reads the
// store file itself.
#pragma once

#include "nativestore.h"
#include "readalong.h"
#include "wire.h"

#include <automation.h>

#include <QString>

#include <memory>

namespace talvenor::nativestore {

// One attached file. Folders and items share it, so that releasing them in any order is safe;
// once the store is removed every further call fails instead of reaching a closed store.
class AttachedStore {
public:
    AttachedStore(QString path, wire::FolderInfo tree,
                  std::unique_ptr<helper::ReadAlong> readAlong);
    ~AttachedStore();

    const QString& path() const { return path_; }
    const wire::FolderInfo& tree() const { return tree_; }
    // Throws unless the store is still attached.
    void check() const;
    // Returns once the item has been read without a crash, with what was handed over of it;
    // throws the item's failure.
    wire::ItemInfo wait(std::uint32_t folder, int index);
    void close();

private:
    QString path_;
    wire::FolderInfo tree_;
    std::unique_ptr<helper::ReadAlong> readAlong_;
    bool closed_ = false;
};

// The writer lives in the options, which every object of a session shares.
using SharedWriter = std::shared_ptr<const MessageWriter>;

// The top of the store's mail folders.
std::unique_ptr<automation::Folder> rootFolder(std::shared_ptr<AttachedStore> store,
                                               SharedWriter writer);

// The store a folder of this surface belongs to; null for a folder of another surface.
std::shared_ptr<AttachedStore> storeOf(automation::Folder& folder);

} // namespace talvenor::nativestore
