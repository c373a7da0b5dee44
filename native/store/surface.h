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
#include <unordered_set>

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

    // The folders of this store that are alive, so that the namespace knows its own folders
    // when they are handed back (removeStore) without asking their type.
    void enlist(const automation::Folder* folder) { folders_.insert(folder); }
    void discharge(const automation::Folder* folder) { folders_.erase(folder); }
    bool owns(const automation::Folder* folder) const { return folders_.count(folder) != 0; }

private:
    QString path_;
    wire::FolderInfo tree_;
    std::unique_ptr<helper::ReadAlong> readAlong_;
    bool closed_ = false;
    std::unordered_set<const automation::Folder*> folders_;
};

// The writer lives in the options, which every object of a session shares.
using SharedWriter = std::shared_ptr<const MessageWriter>;

// The top of the store's mail folders.
std::unique_ptr<automation::Folder> rootFolder(std::shared_ptr<AttachedStore> store,
                                               SharedWriter writer);

} // namespace talvenor::nativestore
