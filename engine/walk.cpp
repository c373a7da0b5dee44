#include "walk.h"

#include "displaytext.h"
#include "errorreport.h"
#include "failure.h"
#include "paths.h"
#include "windowoutcomes.h"

#include <QDirIterator>
#include <QStringList>

#include <climits>
#include <utility>

namespace talvenor {

using automation::Folder;
using automation::Item;
using automation::Items;

namespace naming {

QString fallbackName(const QString& outputFile) {
    return paths::removeExtension(paths::getFileName(outputFile)) + QStringLiteral(" (no subject)");
}

namespace {

// Characters that show as nothing, or turn the text around them: a name holding them displays
// as something it is not ("invoice<U+202E>gpj.exe" shows as "invoiceexe.jpg").
bool invisibleOrTurning(char16_t u) {
    switch (u) {
    case 0x061C: // Arabic letter mark
    case 0x200B: // zero-width space, non-joiner, joiner
    case 0x200C:
    case 0x200D:
    case 0x200E: // left-to-right and right-to-left marks
    case 0x200F:
    case 0x2028: // line and paragraph separators
    case 0x2029:
    case 0x2060: // word joiner
    case 0xFEFF: // zero-width no-break space
        return true;
    default:
        return (u >= 0x202A && u <= 0x202E)     // bidi embeddings and overrides
               || (u >= 0x2066 && u <= 0x2069); // bidi isolates
    }
}

// The names Windows keeps for devices: a file whose name up to its first dot is one of them
// (spaces before that dot ignored, as Windows ignores them) cannot be made there.
bool reservedOnWindows(QStringView base) {
    static const QStringList names = {
        QStringLiteral("CON"),  QStringLiteral("PRN"),  QStringLiteral("AUX"),
        QStringLiteral("NUL"),  QStringLiteral("COM1"), QStringLiteral("COM2"),
        QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("COM5"),
        QStringLiteral("COM6"), QStringLiteral("COM7"), QStringLiteral("COM8"),
        QStringLiteral("COM9"), QStringLiteral("COM¹"), QStringLiteral("COM²"),
        QStringLiteral("COM³"), QStringLiteral("LPT1"), QStringLiteral("LPT2"),
        QStringLiteral("LPT3"), QStringLiteral("LPT4"), QStringLiteral("LPT5"),
        QStringLiteral("LPT6"), QStringLiteral("LPT7"), QStringLiteral("LPT8"),
        QStringLiteral("LPT9"), QStringLiteral("LPT¹"), QStringLiteral("LPT²"),
        QStringLiteral("LPT³")};
    for (const QString& n : names)
        if (base.compare(n, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

QString replaceForbidden(QString name) {
    // Control characters (NUL, line breaks, escape, the C1 range) cannot stand in a file name
    // a user can read or type either; they go the way of the others, and so do the characters
    // that hide or reorder what a name shows.
    for (QChar& c : name) {
        const char16_t u = c.unicode();
        if (isControlCharacter(u) || invisibleOrTurning(u))
            c = QLatin1Char(' ');
    }
    // A name that begins with a dot is hidden: the mail would look missing.
    qsizetype dots = 0;
    while (dots < name.size() && name[dots] == QLatin1Char('.'))
        ++dots;
    name.remove(0, dots);
    return name;
}

QString copyableToWindows(QString name) {
    qsizetype baseEnd = name.indexOf(QLatin1Char('.'));
    if (baseEnd < 0)
        baseEnd = name.size();
    qsizetype word = baseEnd;
    while (word > 0 && name[word - 1] == QLatin1Char(' '))
        --word;
    if (reservedOnWindows(QStringView(name).left(word)))
        name.insert(word, QLatin1Char('_'));
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name += QLatin1Char('_');
    return name;
}

QString fitName(const QString& name, const QString& suffix) {
    const qsizetype room = MaxNameBytes - (suffix + QStringLiteral(".msg")).toUtf8().size();
    if (name.toUtf8().size() <= room)
        return name;
    QString out;
    qsizetype used = 0;
    for (qsizetype i = 0; i < name.size();) {
        const qsizetype len =
            (name[i].isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) ? 2
                                                                                               : 1;
        const qsizetype bytes = name.mid(i, len).toUtf8().size();
        if (used + bytes > room)
            break;
        out += name.mid(i, len);
        used += bytes;
        i += len;
    }
    return out;
}

QString candidate(const QString& name, int n) {
    const QString suffix = n <= 1 ? QString() : QStringLiteral(" (%1)").arg(n);
    QString fitted = copyableToWindows(fitName(name, suffix));
    // The mend adds up to two characters; a name cut to fit leaves room for them.
    if ((fitted + suffix + QStringLiteral(".msg")).toUtf8().size() > MaxNameBytes)
        fitted = copyableToWindows(fitName(name, suffix + QStringLiteral("__")));
    return fitted + suffix + QStringLiteral(".msg");
}

FolderNames::FolderNames(QString folder) : folder_(std::move(folder)) {
    // Everything that takes a name counts: files, folders, links that lead nowhere.
    QDirIterator it(folder_, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext())
        take(it.nextFileInfo().fileName());
}

std::uint64_t FolderNames::fingerprint(const QString& name) {
    return std::uint64_t(qHash(name, std::size_t(0x5f3759df)));
}

QString FolderNames::saveUnder(const QString& name,
                               const std::function<void(const QString& path)>& save) {
    const std::uint64_t key = fingerprint(name);
    for (int n = lastNumber_.value(key, 0) + 1; n < INT_MAX; ++n) {
        const QString file = candidate(name, n);
        if (taken(file))
            continue;
        try {
            save(folder_ + file);
        } catch (const Failure& f) {
            if (f.number() != failures::FileExists)
                throw;
            take(file); // it appeared after the folder was read
            continue;
        }
        take(file);
        if (n > 1)
            lastNumber_.insert(key, n);
        return folder_ + file;
    }
    return {};
}

} // namespace naming

namespace {

bool excludedFolder(const QString& name) {
    return name == QStringLiteral("Internet Newsgroups") ||
           name == QStringLiteral("All Public Folders");
}

// The items the walk will visit below a folder, by the same rules as the walk: each folder once,
// no deeper than it goes.
std::int64_t itemsBelow(Folder& folder, int depth, int maxDepth, QHash<QString, bool>& seen) {
    if (excludedFolder(folder.name()) || depth >= maxDepth)
        return 0;
    std::int64_t n = 0;
    const int count = folder.folderCount();
    for (int i = 1; i <= count; ++i) {
        auto sub = folder.folder(i);
        const QString id = sub->entryId();
        if (!id.isEmpty() && std::exchange(seen[id], true))
            continue;
        n += itemsBelow(*sub, depth + 1, maxDepth, seen) + sub->items()->count();
    }
    return n;
}

// A failure that will fail every later save into the same folder in the same way.
bool refusesEverySave(const Failure& failure) {
    switch (failure.cause()) {
    case Cause::DiskFull:
    case Cause::NotFound:
    case Cause::PermissionDenied:
    case Cause::ReadOnly:
        return true;
    default:
        return false;
    }
}

const QString WalkProcedure = QStringLiteral("GetMailItems");

} // namespace

MailWalk::MailWalk(IMessageBox& messages, IEventLoop& events, WalkOptions options)
    : events_(events), options_(std::move(options)),
      windowOnly_(options_.observer ? nullptr : std::make_unique<WindowOutcomes>(messages, false)),
      out_(options_.observer ? *options_.observer : *windowOnly_) {}

MailWalk::~MailWalk() = default;

void MailWalk::getMailItems(Folder& pFld, const QString& pOutputFile) {
    const QString folder = paths::getFolderPath(pOutputFile);
    names_ = std::make_unique<naming::FolderNames>(folder);
    total_ = done_ = notSaved_ = 0;
    saveRefused_.reset();
    storeLost_ = false;
    folderPath_.clear();
    visited_.clear();
    tooDeepTold_ = false;
    if (options_.observer) {
        // Only for showing how far the walk is: the walk meets the same failures itself.
        try {
            QHash<QString, bool> seen;
            if (const QString id = pFld.entryId(); !id.isEmpty())
                seen.insert(id, true);
            total_ = itemsBelow(pFld, 0, options_.maxDepth, seen) + pFld.items()->count();
        } catch (const std::exception&) {
            total_ = 0;
        }
        if (total_ > 0)
            out_.itemsVisited(0, total_);
    }
    try {
        if (const QString id = pFld.entryId(); !id.isEmpty())
            visited_.insert(id, QString());
    } catch (const std::exception&) {
    }
    // A file cut short is said once, before the items it cost are reported one by one.
    try {
        if (const auto damage = pFld.storeDamage())
            out_.storeReported({damage->cause(), damage->description(), {WalkProcedure, 100}, 0});
    } catch (const std::exception&) {
    }
    walk(pFld, pOutputFile, 0);
    // The top folder's own mail, after its sub-folders as for every folder: stores made by
    // the mail program keep mail there too.
    if (!storeLost_) {
        Procedure proc = procedure();
        saveItems(
            proc, [&] { return pFld.items(); }, pOutputFile);
    }
    finishStore(folder);
}

Procedure MailWalk::procedure() {
    Procedure proc(windowLocation(WalkProcedure));
    proc.setFilter([this](int step, const Failure& failure) { return onFailure(step, failure); });
    return proc;
}

// Every failure becomes one outcome, or none when an earlier one accounts for it.
bool MailWalk::onFailure(int step, const Failure& failure) {
    if (storeLost_)
        return false;
    const bool reading = step != 144;
    if (reading && options_.storeReadable && !options_.storeReadable()) {
        storeLost_ = true;
        if (saveRefused_)
            return false; // the one report of the refused saves says it all
        const std::int64_t unread = total_ - done_;
        QString text =
            failure.description() +
            QStringLiteral("\r\nThe file \"%1\" can no longer be read: ").arg(options_.storeName);
        text +=
            total_ > 0
                ? QStringLiteral("%1 of its %2 items were not converted.").arg(unread).arg(total_)
                : QStringLiteral("the rest of its items were not converted.");
        out_.storeReported(
            {failure.cause(), text, {WalkProcedure, step}, std::max<std::int64_t>(unread, 0)});
        return false;
    }
    if (saveRefused_)
        return false; // counted in the one report of the refused saves
    if (!reading && refusesEverySave(failure)) {
        saveRefused_ = failure;
        ++notSaved_;
        return false;
    }
    if (itemReported_)
        return false; // one report per item: the later steps fail for the same reason
    if (step < 112) {
        // A folder, or its list of items, that could not be read.
        out_.storeReported({failure.cause(), failure.description(), {WalkProcedure, step}, 0});
        return false;
    }
    itemReported_ = true;
    ItemReport report;
    report.cause = failure.cause();
    report.reason = failure.description();
    report.folder = folderPath();
    report.subject = subject_;
    report.where = {WalkProcedure, step};
    itemReport_ = report;
    return false;
}

void MailWalk::itemNotWritten(ItemKind kind) {
    ItemReport report;
    if (itemReport_) {
        report = *itemReport_;
    } else if (saveRefused_) {
        report.cause = saveRefused_->cause();
        report.reason = saveRefused_->description();
        report.folder = folderPath();
        report.subject = subject_;
        report.where = {WalkProcedure, 144};
        report.inStoreReport = true;
    } else {
        report.reason = QStringLiteral("The item was not written.");
        report.folder = folderPath();
        report.subject = subject_;
        report.inStoreReport = storeLost_; // told with the file that can no longer be read
    }
    report.kind = kind;
    report.written = false;
    itemReport_.reset();
    out_.itemReported(report);
}

void MailWalk::finishStore(const QString& folder) {
    if (!saveRefused_)
        return;
    QString text =
        saveRefused_->description() +
        QStringLiteral("\r\n%1 messages of \"%2\" were not saved into the folder \"%3\".")
            .arg(notSaved_)
            .arg(options_.storeName, folder);
    if (storeLost_)
        text += QStringLiteral(" The file can no longer be read, so there may be more.");
    // The items it speaks of were told one by one; the report adds none.
    out_.storeReported({saveRefused_->cause(), text, {WalkProcedure, 144}, 0});
}

bool MailWalk::firstVisit(Folder& folder) {
    QString id;
    try {
        id = folder.entryId();
    } catch (const std::exception&) {
    }
    if (id.isEmpty())
        return true;
    const auto first = visited_.constFind(id);
    if (first == visited_.cend()) {
        visited_.insert(id, folderPath());
        return true;
    }
    const QString firstPlace = first->isEmpty()
                                   ? QStringLiteral("the top of \"%1\"").arg(options_.storeName)
                                   : QStringLiteral("\"%1\"").arg(*first);
    out_.storeReported(
        {Cause::Damaged,
         QStringLiteral("The folder \"%1\" is listed a second time in the store, as \"%2\"; "
                        "it is converted once, as %3.")
             .arg(folderPath_.last(), folderPath(), firstPlace),
         {WalkProcedure, 106},
         0});
    return false;
}

void MailWalk::walk(Folder& pFld, const QString& pOutputFile, int depth) {
    Procedure proc = procedure();
    const bool walkBelow = proc.test(100, [&] { return !excludedFolder(pFld.name()); });
    if (!walkBelow)
        return;
    if (depth >= options_.maxDepth) {
        if (!std::exchange(tooDeepTold_, true))
            out_.storeReported(
                {Cause::Damaged,
                 QStringLiteral("The folders of \"%1\" are nested more than %2 levels deep, "
                                "which no store has: the sub-folders of \"%3\" are not "
                                "converted.")
                     .arg(options_.storeName)
                     .arg(options_.maxDepth)
                     .arg(folderPath()),
                 {WalkProcedure, 102},
                 0});
        return;
    }

    const auto folderCount = proc.read(102, [&] { return pFld.folderCount(); });
    for (int i = 1; folderCount && i <= *folderCount && !storeLost_; ++i) {
        proc.step(104, [&] { events_.yield(); });
        std::unique_ptr<Folder> sub;
        bool entered = false;
        bool again = false;
        proc.step(106, [&] {
            sub = pFld.folder(i);
            folderPath_ << sub->name();
            entered = true;
            again = !firstVisit(*sub);
            if (!again && sub->holdsRecoveredItems())
                out_.itemsRecovered(sub->name(), sub->items()->count());
            if (!again)
                walk(*sub, pOutputFile, depth + 1);
        });
        if (!storeLost_ && !again)
            saveItems(
                proc, [&] { return sub ? sub->items() : pFld.folder(i)->items(); }, pOutputFile);
        if (entered)
            folderPath_.removeLast();
        if (storeLost_)
            return;
    }
}

void MailWalk::saveItems(Procedure& proc, const std::function<std::unique_ptr<Items>()>& fetch,
                         const QString& pOutputFile) {
    const auto items = proc.read(108, fetch);
    if (!items)
        return;
    const auto itemCount = proc.read(110, [&] { return (*items)->count(); });
    for (int j = 1; itemCount && j <= *itemCount && !storeLost_; ++j) {
        proc.step(112, [&] { events_.yield(); });
        itemReported_ = false;
        itemReport_.reset();
        subject_.clear();
        // The item is fetched once: an item that cannot be had is reported once, not at
        // every step that would ask for it again.
        std::unique_ptr<Item> item;
        int itemClass = automation::MailItemClass;
        const bool isMail = proc.test(116, [&] {
            item = (*items)->item(j);
            itemClass = item->itemClass();
            return itemClass == automation::MailItemClass;
        });
        if (saveRefused_ && (isMail || !item)) {
            ++notSaved_; // counted for the one report, not saved
            itemNotWritten(item ? ItemKind::Mail : ItemKind::Other);
        } else if (!item) {
            itemNotWritten(ItemKind::Other); // reported at 116, or with the store that was lost
        } else if (isMail) {
            saveItem(proc, *item, pOutputFile);
        } else {
            out_.itemSkipped(itemKindOfClass(itemClass));
        }
        itemReported_ = false;
        if (storeLost_)
            return;
        ++done_;
        if (total_ > 0)
            out_.itemsVisited(done_, total_);
    }
}

void MailWalk::saveItem(Procedure& proc, Item& item, const QString& pOutputFile) {
    QString fileName;
    proc.step(118, [&] { fileName.clear(); });
    const bool noSubject = proc.test(120, [&] { return item.subject().isEmpty(); });
    if (noSubject)
        proc.step(122, [&] { fileName = naming::fallbackName(pOutputFile); });
    else
        proc.step(124, [&] {
            fileName = item.subject();
            subject_ = fileName;
        });

    static constexpr struct {
        int step;
        char16_t ch;
    } forbidden[] = {{126, u'/'}, {128, u'\\'}, {130, u'*'}, {132, u':'},
                     {134, u'?'}, {136, u'<'},  {138, u'>'}, {140, u'|'}};
    for (const auto& f : forbidden)
        proc.step(f.step, [&] { fileName.replace(QChar(f.ch), QLatin1Char(' ')); });

    proc.step(142, [&] {
        fileName = naming::replaceForbidden(fileName);
        // A subject that could not be read, or one of dots, spaces or invisible characters
        // only, leaves no name; the fallback keeps the file visible instead of hiding it as
        // ".msg" or showing it as " .msg".
        if (fileName.trimmed().isEmpty())
            fileName = naming::replaceForbidden(naming::fallbackName(pOutputFile));
    });
    // Equal names must not overwrite each other: the first free number is taken.
    QString savedAs;
    const bool saved = proc.step(144, [&] {
        savedAs = names_->saveUnder(fileName, [&](const QString& path) { item.saveAs(path); });
    });
    if (saved && !savedAs.isEmpty()) {
        // Saved from a damaged store as far as it could be read: written all the same, with
        // what is missing or may be wrong in that file.
        QString damage;
        try {
            damage = item.damage();
        } catch (const std::exception&) {
        }
        if (!damage.isEmpty())
            out_.itemSavedFromDamage({savedAs, folderPath(), subject_, damage});
        else
            out_.itemWritten(savedAs);
        // A step before the save failed, but the file was written without it.
        if (itemReport_) {
            ItemReport report = *itemReport_;
            report.written = true;
            itemReport_.reset();
            out_.itemReported(report);
        }
    } else {
        itemNotWritten(ItemKind::Mail);
    }
}

} // namespace talvenor
