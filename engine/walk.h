#pragma once

#include "automation.h"
#include "errorreport.h"
#include "outcomes.h"
#include "ui.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace talvenor {

namespace naming {
// The bare name for items without a subject: "archive (no subject)" for ".../archive.msg".
QString fallbackName(const QString& outputFile);
// What a file name may not hold, beside the eight characters the walk turns into spaces:
// control characters (C0, DEL, C1), the characters that show as nothing or reorder the text
// (bidi marks, embeddings, overrides and isolates, zero-width spaces and joiners, U+FEFF) and
// the line and paragraph separators become spaces too, and leading dots go, so that no file is
// hidden and none shows as what it is not.
QString replaceForbidden(QString name);
// The name as Windows can create it, once ".msg" follows: a reserved device name (CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, COM¹-³ and LPT¹-³, in any case) up to the first dot gets
// "_" right after it ("CON" -> "CON_", "aux.txt" -> "aux_.txt", since Windows takes
// "aux.txt.msg" for AUX too), and a name ending in a dot or a space gets "_" at its end
// ("Re." -> "Re._").
QString copyableToWindows(QString name);
// The name shortened at a character boundary so that name + suffix + ".msg" fits in one
// file-name component (255 bytes of UTF-8).
QString fitName(const QString& name, const QString& suffix);
// The n-th candidate file name: "NAME.msg", then "NAME (2).msg", "NAME (3).msg", ..., with
// NAME made copyable to Windows.
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
    // Told the fate of every item and how far the walk is (the walk then counts the store's
    // items before it starts), and every report; null: the reports are shown as the window
    // shows them, and nothing else is told.
    IRunObserver* observer = nullptr;
    // Asked after a failure to read from the store: false once its file cannot be read any
    // more (gone, cut short), which ends the walk of that store.
    std::function<bool()> storeReadable;
    // The PST file's name, for the reports that speak of the whole store.
    QString storeName;
    // Folders nested deeper than this below the root are not entered (told once per store), so
    // that a hostile store cannot exhaust the stack.
    int maxDepth = 300;
};

// Saves every mail item of a store's root folder and below it as one message file into the
// output folder of the PST being converted, depth first, post-order: every folder's sub-folders
// first, then its own items, the root's last. Failures are told to the observer as reports (the
// window shows them as its uniform error report) and the walk goes on, with one report per
// item at most. An item saved from damaged data is written, not reported. A save that
// fails because the output folder is gone, cannot be written or is full, and a store whose
// file can no longer be read, are reported once for the whole store instead. A folder the
// store lists a second time (under two parents, or in a cycle) is walked only where it was
// met first, with one report naming both places.
class MailWalk {
public:
    MailWalk(IMessageBox& messages, IEventLoop& events, WalkOptions options = {});
    ~MailWalk();

    // pOutputFile: output folder + PST name without extension + ".msg"; its folder receives
    // the files and its name gives the name of items without a subject.
    void getMailItems(automation::Folder& pFld, const QString& pOutputFile);

private:
    void walk(automation::Folder& pFld, const QString& pOutputFile, int depth);
    // False, with its report, for a folder the walk has entered before: it is not entered
    // again. Remembers the others by their entry id, with where they were met.
    bool firstVisit(automation::Folder& folder);
    // The walk's procedure, whose failures go through onFailure.
    Procedure procedure();
    // Saves the mail items of the collection fetch gives, and tells the observer of the rest.
    void saveItems(Procedure& proc,
                   const std::function<std::unique_ptr<automation::Items>()>& fetch,
                   const QString& pOutputFile);
    void saveItem(Procedure& proc, automation::Item& item, const QString& pOutputFile);
    bool onFailure(int step, const Failure& failure);
    void finishStore(const QString& folder);
    // Tells the observer of the current item that was not written, with its report if it had
    // one.
    void itemNotWritten(ItemKind kind);
    QString folderPath() const { return folderPath_.join(QLatin1Char('/')); }

    IEventLoop& events_;
    WalkOptions options_;
    std::unique_ptr<IRunObserver> windowOnly_; // renders for the window when nobody observes
    IRunObserver& out_;

    // One store's walk.
    std::unique_ptr<naming::FolderNames> names_;
    std::int64_t total_ = 0; // items below the root; 0 when they could not be counted
    std::int64_t done_ = 0;
    bool itemReported_ = false;            // the current item has had its one report
    std::optional<ItemReport> itemReport_; // that report, told with the item's fate
    QString subject_;                      // of the current item, once read
    QStringList folderPath_;               // the folders below the root down to the current one
    // The output folder refused a save: the rest is counted, not saved.
    std::optional<Failure> saveRefused_;
    std::int64_t notSaved_ = 0;
    bool storeLost_ = false;          // the store's file cannot be read any more
    QHash<QString, QString> visited_; // entry id -> folder path where it was entered
    bool tooDeepTold_ = false;
};

} // namespace talvenor
