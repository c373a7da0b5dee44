#include "fakeautomation.h"

#include "failure.h"

#include <QFile>
#include <QFileInfo>

namespace talvenor::testing {

using namespace automation;

void FakeOutlook::fail(const QString& call, std::int32_t number, const QString& description,
                       int occurrence) {
    rules_.push_back({call, Cause::Other, number, description, occurrence});
}

void FakeOutlook::fail(const QString& call, Cause cause, std::int32_t number,
                       const QString& description, int occurrence) {
    rules_.push_back({call, cause, number, description, occurrence});
}

void FakeOutlook::enter(const QString& call) {
    calls.append(call);
    const int n = ++seen_[call];
    for (const auto& r : rules_) {
        if (r.call == call && (r.occurrence == 0 || r.occurrence == n))
            throw Failure(r.cause, r.number, r.description);
    }
}

namespace {

class FakeItemObject : public Item {
public:
    FakeItemObject(FakeOutlook& o, const FakeItem& item, QString where)
        : o_(o), item_(item), where_(std::move(where)) {}
    int itemClass() override {
        o_.enter(QStringLiteral("Item.Class ") + where_);
        return item_.itemClass;
    }
    QString subject() override {
        o_.enter(QStringLiteral("Item.Subject ") + where_);
        return item_.subject;
    }
    void saveAs(const QString& path) override {
        o_.enter(QStringLiteral("Item.SaveAs ") + path);
        QFile f(path);
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            throw Failure(failures::FileExists, QStringLiteral("The file exists: ") + path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            throw Failure(-2147286783, QStringLiteral("Cannot save the item: ") + f.errorString());
        f.write(item_.payload);
        o_.saved.append(path);
    }
    QString damage() override { return item_.damage; }

private:
    FakeOutlook& o_;
    const FakeItem& item_;
    QString where_;
};

class FakeItemsObject : public Items {
public:
    FakeItemsObject(FakeOutlook& o, const FakeFolder& f, QString path)
        : o_(o), f_(f), path_(std::move(path)) {}
    int count() override {
        o_.enter(QStringLiteral("Items.Count ") + path_);
        return int(f_.items.size());
    }
    std::unique_ptr<Item> item(int index) override {
        const QString where = path_ + QLatin1Char(' ') + QString::number(index);
        o_.enter(QStringLiteral("Items.Item ") + where);
        if (index < 1 || index > int(f_.items.size()))
            throw Failure(-2147352567, QStringLiteral("Array index out of bounds."));
        return std::make_unique<FakeItemObject>(o_, f_.items[index - 1], where);
    }

private:
    FakeOutlook& o_;
    const FakeFolder& f_;
    QString path_;
};

class FakeFolderObject : public Folder {
public:
    FakeFolderObject(FakeOutlook& o, const FakeFolder& f, QString path)
        : o_(o), f_(f), path_(std::move(path)) {}
    QString name() override {
        o_.enter(QStringLiteral("Folder.Name ") + path_);
        return f_.name;
    }
    int folderCount() override {
        o_.enter(QStringLiteral("Folders.Count ") + path_);
        return int(f_.folders.size());
    }
    std::unique_ptr<Folder> folder(int index) override {
        o_.enter(QStringLiteral("Folders.Item ") + path_ + QLatin1Char(' ') +
                 QString::number(index));
        if (index < 1 || index > int(f_.folders.size()))
            throw Failure(-2147352567, QStringLiteral("Array index out of bounds."));
        const FakeFolder& sub = f_.folders[index - 1];
        return std::make_unique<FakeFolderObject>(o_, sub, path_ + QLatin1Char('/') + sub.name);
    }
    std::unique_ptr<Items> items() override {
        o_.enter(QStringLiteral("Folder.Items ") + path_);
        return std::make_unique<FakeItemsObject>(o_, f_, path_);
    }
    QString entryId() override { return f_.entryId; }
    const FakeFolder& data() const { return f_; }
    const QString& path() const { return path_; }

private:
    FakeOutlook& o_;
    const FakeFolder& f_;
    QString path_;
};

class FakeNamespace : public Namespace {
public:
    explicit FakeNamespace(FakeOutlook& o) : o_(o) {}
    ~FakeNamespace() override { o_.calls.append(QStringLiteral("Release Namespace")); }
    void addStore(const QString& quotedPath) override {
        o_.enter(QStringLiteral("AddStore ") + quotedPath);
        QString path = quotedPath;
        if (path.size() >= 2 && path.startsWith(QLatin1Char('"')) &&
            path.endsWith(QLatin1Char('"')))
            path = path.mid(1, path.size() - 2);
        if (o_.lockedPaths.contains(path))
            throw Failure(Cause::InUse, failures::InUse,
                          QStringLiteral("The file ") + path + QStringLiteral(" is in use."));
        if (!o_.stores.count(path))
            throw Failure(-2147024894, QStringLiteral("The file ") + path +
                                           QStringLiteral(" could not be found."));
        o_.attached.append(path);
        last_ = path;
    }
    std::unique_ptr<Folder> lastFolder() override {
        o_.enter(QStringLiteral("Folders.GetLast"));
        if (o_.attached.isEmpty())
            throw Failure(-2147221233, QStringLiteral("No store is attached."));
        const FakeFolder& root = o_.stores.at(o_.attached.last());
        return std::make_unique<FakeFolderObject>(o_, root, root.name);
    }
    void removeStore(Folder& root) override {
        auto& f = static_cast<FakeFolderObject&>(root);
        o_.enter(QStringLiteral("RemoveStore ") + f.path());
        for (qsizetype i = o_.attached.size() - 1; i >= 0; --i) {
            if (&o_.stores.at(o_.attached[i]) == &f.data()) {
                o_.attached.removeAt(i);
                break;
            }
        }
    }

private:
    FakeOutlook& o_;
    QString last_;
};

class FakeApplication : public Application {
public:
    explicit FakeApplication(FakeOutlook& o) : o_(o) {}
    ~FakeApplication() override { o_.calls.append(QStringLiteral("Release Application")); }
    std::unique_ptr<Namespace> getNamespace(const QString& type) override {
        o_.enter(QStringLiteral("GetNamespace ") + type);
        return std::make_unique<FakeNamespace>(o_);
    }

private:
    FakeOutlook& o_;
};

} // namespace

std::unique_ptr<Application> FakeOutlook::create(const QString& className) {
    enter(QStringLiteral("CreateObject ") + className);
    return std::make_unique<FakeApplication>(*this);
}

} // namespace talvenor::testing
