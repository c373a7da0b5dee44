#pragma once

// The mail-store automation surface: exactly the operations the conversion performs on the
// mail program's object model. Every operation may throw talvenor::Failure (a number and a
// description). Releasing an object is destroying it.

#include "failure.h"

#include <QString>

#include <memory>
#include <optional>

namespace talvenor::automation {

constexpr int MailItemClass = 43;

class Item {
public:
    virtual ~Item() = default;
    virtual int itemClass() = 0;
    virtual QString subject() = 0;
    // Writes the item as a message file at exactly this path. Never replaces an existing file:
    // fails with failures::FileExists when the path is taken.
    virtual void saveAs(const QString& path) = 0;
    // What of the item was damaged in the store, when it could be saved only in part or from
    // damaged data; empty for an item read whole.
    virtual QString damage() { return {}; }
};

class Items {
public:
    virtual ~Items() = default;
    virtual int count() = 0;
    virtual std::unique_ptr<Item> item(int index) = 0; // 1-based
};

class Folder {
public:
    virtual ~Folder() = default;
    virtual QString name() = 0;
    virtual int folderCount() = 0;
    virtual std::unique_ptr<Folder> folder(int index) = 0; // 1-based, in the store's order
    virtual std::unique_ptr<Items> items() = 0;
    // What tells this folder from every other of its store, however it was reached; empty
    // when the store does not say. A damaged store may list one folder in two places.
    virtual QString entryId() { return {}; }
    // True for the folder a reader adds to a damaged store for the items that none of its
    // folders lists; such items are told apart in the counts.
    virtual bool holdsRecoveredItems() { return false; }
    // Of a store's top folder: what is wrong with the store as a whole (a file cut short), to
    // be told once before its items; nullopt when nothing is.
    virtual std::optional<Failure> storeDamage() { return std::nullopt; }
};

class Namespace {
public:
    virtual ~Namespace() = default;
    // The store's path as one argument wrapped in double quotes.
    virtual void addStore(const QString& quotedPath) = 0;
    // Folders.GetLast: the root folder of the store attached last.
    virtual std::unique_ptr<Folder> lastFolder() = 0;
    virtual void removeStore(Folder& root) = 0;
};

class Application {
public:
    virtual ~Application() = default;
    virtual std::unique_ptr<Namespace> getNamespace(const QString& type) = 0;
};

// Creating the application object ("Outlook.Application"); may fail.
class ApplicationFactory {
public:
    virtual ~ApplicationFactory() = default;
    virtual std::unique_ptr<Application> create(const QString& className) = 0;
};

inline const QString ApplicationClass = QStringLiteral("Outlook.Application");
inline const QString MapiNamespace = QStringLiteral("MAPI");

} // namespace talvenor::automation
