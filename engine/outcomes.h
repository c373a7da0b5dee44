// What a conversion run does, as values: every front end hears the same outcomes and words
// them in its own way (the window as message boxes and a report file, the command line as
// lines and JSON). Nothing here is text for people to parse back.
#pragma once

#include "failure.h"
#include "itemkind.h"

#include <QString>

#include <cstdint>

namespace talvenor {

// Where the window's uniform error report places a failure: the procedure and its step.
// Only the window shows it.
struct WindowStep {
    QString procedure; // "GetMailItems", "PST2MSG", "PushButton2_Click"
    int step = 0;
};

struct FileStarted {
    int index = 0; // 1-based, of `files`
    int files = 0;
    QString pstPath;
    QString outputFolder; // ends with the separator
};

// An item written from data the store had damaged: the file exists, but it may lack something.
struct ItemSaved {
    QString path;   // the message file
    QString folder; // the folder inside the store, "Inbox/Receipts"
    QString subject;
    QString lost; // what of the item was damaged or could not be read
};

// An item of which something went wrong. `written` says whether its file was still written
// (a step before the save failed and the save did not need it).
struct ItemReport {
    ItemKind kind = ItemKind::Mail;
    Cause cause = Cause::Other;
    QString reason;
    QString folder;
    QString subject;
    WindowStep where;
    bool written = false;
    // Counted with a report about the whole store (saves the output folder refused): no line
    // and no box of its own.
    bool inStoreReport = false;
};

// A report about a store as a whole: a folder that could not be read, a file that can no longer
// be read, an output folder that refused the saves.
struct StoreReport {
    Cause cause = Cause::Other;
    QString reason;
    WindowStep where;
    std::int64_t itemsNotConverted = 0; // known items it cost; 0 when nothing is known
};

// A file that could not be converted (or whose conversion broke off) as a whole.
struct FileFailure {
    Cause cause = Cause::Other;
    QString reason;
    WindowStep where;
};

// What became of the items of one file.
struct FileCounts {
    std::int64_t written = 0;         // simply written
    std::int64_t savedFromDamage = 0; // written from damaged data
    std::int64_t reported = 0;        // mail items not written
    ItemKindCounts skipped;           // items that are not mail, by kind
    std::int64_t notConverted = 0;    // items a store report says were lost beyond those
    // Of all the items above, those no folder of the store lists (its folder or the folder's
    // table lost to damage): the reader finds them by the store's index and they are walked as
    // one more folder.
    std::int64_t recovered = 0;
    int storeReports = 0; // reports about the whole store
    bool failed = false;  // the file's conversion failed as a whole
    std::int64_t files() const { return written + savedFromDamage; }
    // Nothing was lost: every item was written or is not mail.
    bool whole() const {
        return reported == 0 && notConverted == 0 && storeReports == 0 && !failed;
    }
    void add(const FileCounts& other);
};

struct FileFinished {
    QString pstPath;
    QString outputFolder;
    FileCounts counts;
};

// Why a run converted nothing at all.
enum class RunRefusal { NoFiles, NoRule, NoFolder };

// Told everything a run does, in order. Every call has a default, so that an observer hears
// only what it renders.
class IRunObserver {
public:
    virtual ~IRunObserver() = default;
    virtual void runRefused(RunRefusal) {}
    // A failure of the run itself, outside any file's conversion.
    virtual void runReported(const FileFailure&) {}
    virtual void fileStarted(const FileStarted&) {}
    // How far the walk of the current file is; `total` once the items are counted.
    virtual void itemsVisited(std::int64_t /*done*/, std::int64_t /*total*/) {}
    virtual void itemWritten(const QString& /*path*/) {}
    virtual void itemSavedFromDamage(const ItemSaved&) {}
    virtual void itemReported(const ItemReport&) {}
    virtual void itemSkipped(ItemKind) {}
    // The walk enters the folder of the items no folder lists; `count` of them follow in it.
    virtual void itemsRecovered(const QString& /*folder*/, std::int64_t /*count*/) {}
    virtual void storeReported(const StoreReport&) {}
    virtual void fileFailed(const FileFailure&) {}
    // The file's rule took it nowhere (the output rule was taken away during the run).
    virtual void fileSkipped(RunRefusal) {}
    virtual void fileFinished(const FileFinished&) {}
    virtual void runFinished(const FileCounts& /*totals*/) {}
};

// Passes every outcome on to two observers, the first first.
class TeeObserver : public IRunObserver {
public:
    TeeObserver(IRunObserver& first, IRunObserver& second) : a_(first), b_(second) {}
    void runRefused(RunRefusal r) override { a_.runRefused(r), b_.runRefused(r); }
    void runReported(const FileFailure& f) override { a_.runReported(f), b_.runReported(f); }
    void fileStarted(const FileStarted& f) override { a_.fileStarted(f), b_.fileStarted(f); }
    void itemsVisited(std::int64_t done, std::int64_t total) override {
        a_.itemsVisited(done, total), b_.itemsVisited(done, total);
    }
    void itemWritten(const QString& p) override { a_.itemWritten(p), b_.itemWritten(p); }
    void itemSavedFromDamage(const ItemSaved& s) override {
        a_.itemSavedFromDamage(s), b_.itemSavedFromDamage(s);
    }
    void itemReported(const ItemReport& r) override { a_.itemReported(r), b_.itemReported(r); }
    void itemSkipped(ItemKind k) override { a_.itemSkipped(k), b_.itemSkipped(k); }
    void itemsRecovered(const QString& f, std::int64_t n) override {
        a_.itemsRecovered(f, n), b_.itemsRecovered(f, n);
    }
    void storeReported(const StoreReport& r) override { a_.storeReported(r), b_.storeReported(r); }
    void fileFailed(const FileFailure& f) override { a_.fileFailed(f), b_.fileFailed(f); }
    void fileSkipped(RunRefusal r) override { a_.fileSkipped(r), b_.fileSkipped(r); }
    void fileFinished(const FileFinished& f) override { a_.fileFinished(f), b_.fileFinished(f); }
    void runFinished(const FileCounts& t) override { a_.runFinished(t), b_.runFinished(t); }

private:
    IRunObserver& a_;
    IRunObserver& b_;
};

// Sums the outcomes of one file.
class FileTally : public IRunObserver {
public:
    void reset() { counts_ = {}; }
    const FileCounts& counts() const { return counts_; }
    void itemWritten(const QString&) override { ++counts_.written; }
    void itemSavedFromDamage(const ItemSaved&) override { ++counts_.savedFromDamage; }
    void itemReported(const ItemReport& r) override {
        if (!r.written)
            ++counts_.reported;
    }
    void itemSkipped(ItemKind kind) override { counts_.skipped.add(kind); }
    void itemsRecovered(const QString&, std::int64_t count) override { counts_.recovered += count; }
    void storeReported(const StoreReport& r) override {
        ++counts_.storeReports;
        counts_.notConverted += r.itemsNotConverted;
    }
    void fileFailed(const FileFailure&) override { counts_.failed = true; }
    void fileSkipped(RunRefusal) override { counts_.failed = true; }

private:
    FileCounts counts_;
};

} // namespace talvenor
