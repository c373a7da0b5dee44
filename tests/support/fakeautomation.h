#pragma once

// A scriptable in-memory mail store behind the automation surface: stores are trees of named
// folders holding items, any call can be made to fail, and every call is recorded in order.

#include "automation.h"
#include "failure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

namespace talvenor::testing {

struct FakeItem {
    int itemClass = automation::MailItemClass;
    QString subject;
    QByteArray payload = "message";
    QString damage; // what the store had damaged; empty for an item read whole
};

struct FakeFolder {
    QString name;
    std::vector<FakeFolder> folders;
    std::vector<FakeItem> items;
    // Empty: the store does not tell its folders apart; two folders with one id are one
    // folder listed twice.
    QString entryId = {};

    FakeFolder& addFolder(const QString& n) {
        folders.push_back({n, {}, {}});
        return folders.back();
    }
    FakeFolder& addItem(const QString& subject, int cls = automation::MailItemClass) {
        items.push_back({cls, subject, subject.toUtf8(), {}});
        return *this;
    }
    FakeFolder& addDamagedItem(const QString& subject, const QString& damage) {
        items.push_back({automation::MailItemClass, subject, subject.toUtf8(), damage});
        return *this;
    }
};

class FakeOutlook : public automation::ApplicationFactory {
public:
    // Call texts, as recorded:
    //   "CreateObject Outlook.Application", "GetNamespace MAPI", "AddStore \"<path>\"",
    //   "Folders.GetLast", "Folder.Name <folder>", "Folders.Count <folder>",
    //   "Folders.Item <folder> <i>", "Folder.Items <folder>", "Items.Count <folder>",
    //   "Items.Item <folder> <j>", "Item.Class <folder> <j>", "Item.Subject <folder> <j>",
    //   "Item.SaveAs <path>", "RemoveStore <folder>", "Release Namespace", "Release Application"
    // where <folder> is the folder's path of names from the root, joined by "/".
    QStringList calls;

    // Makes a call fail. occurrence 0: every time; k: only its k-th time.
    void fail(const QString& call, std::int32_t number, const QString& description,
              int occurrence = 0);
    void fail(const QString& call, Cause cause, std::int32_t number, const QString& description,
              int occurrence = 0);

    // The stores that AddStore can attach, by path (without quotes).
    std::map<QString, FakeFolder> stores;
    // Paths that another program holds: AddStore fails with the in-use number.
    QStringList lockedPaths;
    // Paths of stores currently attached.
    QStringList attached;
    // Files written by SaveAs, in order.
    QStringList saved;

    std::unique_ptr<automation::Application> create(const QString& className) override;

    // Records a call and throws when a failure is set for it.
    void enter(const QString& call);

private:
    struct Rule {
        QString call;
        Cause cause;
        std::int32_t number;
        QString description;
        int occurrence;
    };
    std::vector<Rule> rules_;
    std::map<QString, int> seen_;
};

} // namespace talvenor::testing
