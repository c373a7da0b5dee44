#include "addfiles.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "paths.h"

namespace talvenor {

namespace {
Message tooManyFilesMessage() {
    return {QStringLiteral("You've selected too many files to add.\r\rPlease try adding via the "
                           "\"Add All\" button."),
            applicationTitle(), MessageButtons::Ok, MessageIcon::None};
}
} // namespace

void addPstFiles(IFileDialog& dialog, ISourceList& list, IMessageBox& messages) {
    Procedure proc(messages, windowLocation(QStringLiteral("PushButton1_Click")));
    FileDialogRequest request;
    proc.step(100, [&] { request.initialFileName.clear(); });
    proc.step(102, [&] { request.multiSelect = true; });
    proc.step(104, [&] { request.title = AddFilesTitle; });
    proc.step(106, [&] { request.filter = PstFilter; });

    QStringList chosen;
    bool tooMany = false;
    proc.step(108, [&] {
        try {
            chosen = dialog.openFiles(request);
        } catch (const Failure& f) {
            if (f.number() != failures::SelectionTooLarge)
                throw;
            tooMany = true;
        }
    });
    if (tooMany) {
        messages.show(tooManyFilesMessage());
        return;
    }
    if (!proc.test(110, [&] { return !chosen.isEmpty(); }))
        return;

    // The dialog hands back full paths; the split into folder and names is already done.
    const std::optional<qsizetype> highest = proc.read(112, [&] { return chosen.size() - 1; });
    if (!highest)
        return;
    if (proc.test(114, [&] { return *highest == 0; })) {
        QString path;
        if (!proc.step(116, [&] { path = chosen.at(0); }))
            return;
        proc.step(118, [&] { list.append(path); });
        return;
    }
    if (!proc.test(120, [&] { return *highest > 0; }))
        return;
    const auto first = proc.read(122, [] { return qsizetype(0); });
    const auto last = proc.read(124, [&] { return *highest; });
    if (!first || !last)
        return; // without valid bounds the loop is skipped
    for (qsizetype i = *first; i <= *last; ++i) {
        QString path;
        if (!proc.step(128, [&] { path = chosen.at(i); }))
            continue; // nothing to add for this pass
        proc.step(130, [&] { path = paths::fixSlashes(path); });
        proc.step(132, [&] { list.append(path); });
        // 134: next
    }
}

} // namespace talvenor
