#pragma once

#include "automation.h"
#include "errorreport.h"
#include "itemobserver.h"
#include "ui.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace talvenor {

// How far the walk of one store has come: `done` of the `total` items below its root.
class IWalkProgress {
public:
    virtual ~IWalkProgress() = default;
    virtual void itemsVisited(std::int64_t done, std::int64_t total) = 0;
};

namespace naming {
// The bare name for items without a subject: "archive (no subject)" for ".../archive.msg".
QString fallbackName(const QString& outputFile);
// What a file name may not hold, beside the eight characters the walk turns into spaces:
// control characters become spaces too, and leading dots go, so that no file is hidden.
QString replaceForbidden(QString name);
// The name shortened at a character boundary so that name + suffix + ".msg" fits in one
// file-name component (255 bytes of UTF-8).
QString fitName(const QString& name, const QString& suffix);
// The n-th candidate file name: "NAME.msg", then "NAME (2).msg", "NAME (3).msg", ...
QString candidate(const QString& name, int n);
constexpr int MaxNameBytes = 255;

// The names taken in one output folder: read from the folder once, then kept up to date with
// every file written, so that the next free number of a name is found at once however many
// messages share it. Creation stays exclusive: a file that appears in the folder meanwhile
// makes the save fail, and the name after it is taken.
class FolderNames {
public:
    explicit FolderNames(QString folder);
    // Calls save with the path of the first free candidate of the name, and with the next one
    // for as long as save fails with failures::FileExists; any other failure passes on.
    // Returns the path saved to.
    QString saveUnder(const QString& name, const std::function<void(const QString& path)>& save);

private:
    // A fingerprint stands for each name, so that a folder of 100,000 files costs a few MB,
    // not the names themselves; two names sharing one (about once in 10^10 folders of that
    // size) would only make the second take the next number.
    static std::uint64_t fingerprint(const QString& name);
    bool taken(const QString& file) const { return taken_.contains(fingerprint(file)); }
    void take(const QString& file) { taken_.insert(fingerprint(file)); }

    QString folder_;
    QSet<std::uint64_t> taken_;
    // name -> the number of its latest file, for names written more than once: a name written
    // once costs one more probe when it comes again.
    QHash<std::uint64_t, int> lastNumber_;
};
} // namespace naming

struct WalkOptions {
    // Told after every item; the walk then counts the store's items before it starts.
    IWalkProgress* progress = nullptr;
    // Asked after a failure to read from the store: false once its file cannot be read any
    // more (gone, cut short), which ends the walk of that store.
    std::function<bool()> storeReadable;
    // The PST file's name, for the reports that speak of the whole store.
    QString storeName;
    // Told the fate of every item: a mail item written to a file or reported, any other
    // skipped as not mail.
    IItemObserver* observer = nullptr;
};

// Saves every mail item of a store's root folder and below it as one message file into the
// output folder of the PST being converted, depth first, post-order: every folder's sub-folders
// first, then its own items, the root's last. Failures are reported with the
// uniform error report and the walk goes on, with one report per item at most. A save that
// fails because the output folder is gone, cannot be written or is full, and a store whose
// file can no longer be read, are reported once for the whole store instead.
class MailWalk {
public:
    MailWalk(IMessageBox& messages, IEventLoop& events, WalkOptions options = {})
        : messages_(messages), events_(events), options_(std::move(options)) {}

    // pOutputFile: output folder + PST name without extension + ".msg"; its folder receives
    // the files and its name gives the name of items without a subject.
    void getMailItems(automation::Folder& pFld, const QString& pOutputFile);

private:
    void walk(automation::Folder& pFld, const QString& pOutputFile);
    // The walk's procedure, whose failures go through onFailure.
    Procedure procedure();
    // Saves the mail items of the collection fetch gives, and tells the observer of the rest.
    void saveItems(Procedure& proc,
                   const std::function<std::unique_ptr<automation::Items>()>& fetch,
                   const QString& pOutputFile);
    void saveItem(Procedure& proc, automation::Item& item, const QString& pOutputFile);
    bool onFailure(int step, std::int32_t failure, const QString& description);
    void finishStore(const QString& folder);
    void observeReported();

    IMessageBox& messages_;
    IEventLoop& events_;
    WalkOptions options_;

    // One store's walk.
    std::unique_ptr<naming::FolderNames> names_;
    std::int64_t total_ = 0; // items below the root; 0 when they could not be counted
    std::int64_t done_ = 0;
    bool itemReported_ = false; // the current item has had its one report
    // The output folder refused a save: the rest is counted, not saved.
    std::optional<QString> saveRefused_;
    std::int64_t notSaved_ = 0;
    bool storeLost_ = false; // the store's file cannot be read any more
};

} // namespace talvenor
