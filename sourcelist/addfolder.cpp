#include "addfolder.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "filelisting.h"
#include "paths.h"

namespace talvenor {

namespace {

// A step under the procedure's trap when there is one; otherwise failures pass to the caller.
template <class F> bool runStep(Procedure* proc, int number, F&& action) {
    if (proc)
        return proc->step(number, std::forward<F>(action));
    action();
    return true;
}

template <class F> bool runTest(Procedure* proc, int number, F&& condition) {
    if (proc)
        return proc->test(number, std::forward<F>(condition));
    return bool(condition());
}

template <class F>
auto runRead(Procedure* proc, int number, F&& reader) -> std::optional<std::invoke_result_t<F>> {
    if (proc)
        return proc->read(number, std::forward<F>(reader));
    return reader();
}

const QString LastFolderKey = QStringLiteral("LastFolder");

} // namespace

AddFolderCommand::AddFolderCommand(ISourceList& list, ISettings& settings, IFolderPicker& picker,
                                   IPointer& pointer, IMessageBox& messages, IEventLoop& events,
                                   files::IDirectoryLister* lister)
    : list_(list), settings_(settings), picker_(picker), pointer_(pointer), messages_(messages),
      events_(events), lister_(lister ? *lister : system_) {}

void AddFolderCommand::PushButton4_Click() {
    Procedure proc(messages_, windowLocation(QStringLiteral("PushButton4_Click")));
    QString extension;
    proc.step(100, [&] { extension = QStringLiteral("pst"); });
    QString lastFolder;
    QString chosen;
    proc.step(104, [&] {
        lastFolder = settings_.readSetting(LastFolderKey, QString());
        chosen = picker_.browseForFolder(QStringLiteral("Please select folder:"), lastFolder);
    });
    if (proc.test(106, [&] { return chosen.isEmpty(); }))
        return; // cancelled: LastFolder stays as it was
    proc.step(333, [&] { lastFolder = chosen; });
    proc.step(334, [&] { settings_.writeSetting(LastFolderKey, lastFolder); });
    proc.step(108, [&] { pointer_.setMode(PointerMode::Busy); });
    scanFolderTree(chosen, QStringLiteral("*.") + extension, &proc);
    proc.step(130, [&] { pointer_.setMode(PointerMode::Default); });
}

bool AddFolderCommand::scanFolderTree(const QString& folder, const QString& pattern,
                                      Procedure* proc) {
    const QString start = folder + QLatin1Char('/');
    QStringList folders;
    runStep(proc, 110, [&] { folders = QStringList{start}; });
    files::FolderScan scan(messages_, events_, lister_);
    runStep(proc, 112, [&] { scan.GetSubDirectories2016(folders, true); });
    const bool startListed = !folders.isEmpty() && folders.first() == start;
    // 114
    for (const QString& entry : std::as_const(folders)) {
        QString F;
        if (!runStep(proc, 116, [&] { F = entry.chopped(1); }))
            continue;
        const std::optional<QStringList> names = runRead(proc, 118, [&] {
            // What the scan found when it listed the folder; read anew only when it did not.
            if (std::optional<QStringList> found = scan.filesIn(entry, pattern))
                return std::move(*found);
            try {
                return files::matchingFiles(lister_.list(F), pattern);
            } catch (const Failure&) {
                return QStringList(); // a folder that cannot be read holds no files
            }
        });
        if (!names)
            continue;                        // no bounds to walk
        for (const QString& name : *names) { // 120
            if (runTest(proc, 122, [&] { return name.startsWith(QLatin1Char('~')); }))
                continue;
            QString path;
            runStep(proc, 124, [&] { path = F + QLatin1Char('/') + name; });
            runStep(proc, 126, [&] {
                // Exists, and is not exactly archive + hidden.
                const int value = files::existingFileAttributes(path);
                if (value >= 0 && value != (files::Archive | files::Hidden))
                    list_.append(paths::fixSlashes(path));
            });
        } // 128
    }
    return startListed;
}

void AddFolderCommand::dropPaths(const QStringList& paths) {
    for (const QString& path : paths) {
        // Each dropped path on its own: a failure with one leaves the others to be added.
        try {
            if (files::attributes(path) & files::Directory) {
                if (!scanFolderTree(path, QStringLiteral("*.*"), nullptr))
                    messages_.show({QStringLiteral("Cannot read the folder:\r\n") + path,
                                    applicationTitle(), MessageButtons::Ok, MessageIcon::None});
            } else {
                list_.append(path);
            }
        } catch (const Failure& f) {
            messages_.show(
                {f.description(), applicationTitle(), MessageButtons::Ok, MessageIcon::None});
        } catch (const std::exception& e) {
            messages_.show({QString::fromUtf8(e.what()), applicationTitle(), MessageButtons::Ok,
                            MessageIcon::None});
        }
    }
}

} // namespace talvenor
