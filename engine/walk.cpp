#include "walk.h"

#include "errorreport.h"
#include "failure.h"
#include "paths.h"

#include <QFileInfo>

#include <climits>

namespace talvenor {

using automation::Folder;
using automation::Items;

namespace naming {

QString fallbackName(const QString& outputFile) {
    return paths::removeExtension(paths::getFileName(outputFile)) + QStringLiteral(" (no subject)");
}

QString replaceForbidden(QString name) {
    // NUL cannot stand in a file name either; it goes the way of the others.
    name.replace(QChar(u'\0'), QLatin1Char(' '));
    return name;
}

QString fitName(const QString& name, const QString& suffix) {
    const qsizetype room = MaxNameBytes - (suffix + QStringLiteral(".msg")).toUtf8().size();
    if (name.toUtf8().size() <= room)
        return name;
    QString out;
    qsizetype used = 0;
    for (qsizetype i = 0; i < name.size();) {
        const qsizetype len = (name[i].isHighSurrogate() && i + 1 < name.size() &&
                               name[i + 1].isLowSurrogate())
                                  ? 2
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
    return fitName(name, suffix) + suffix + QStringLiteral(".msg");
}

} // namespace naming

namespace {
bool nameTaken(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}
} // namespace

void MailWalk::getMailItems(Folder& pFld, const QString& pOutputFile) {
    Procedure proc(messages_, windowLocation(QStringLiteral("GetMailItems")));

    const bool walkBelow = proc.test(100, [&] {
        const QString name = pFld.name();
        return name != QStringLiteral("Internet Newsgroups") &&
               name != QStringLiteral("All Public Folders");
    });
    if (!walkBelow)
        return;

    const auto folderCount = proc.read(102, [&] { return pFld.folderCount(); });
    for (int i = 1; folderCount && i <= *folderCount; ++i) {
        proc.step(104, [&] { events_.yield(); });
        std::unique_ptr<Folder> sub;
        proc.step(106, [&] {
            sub = pFld.folder(i);
            getMailItems(*sub, pOutputFile);
        });
        const auto items = proc.read(108, [&] { return sub ? sub->items() : pFld.folder(i)->items(); });
        if (!items)
            continue;
        const auto itemCount = proc.read(110, [&] { return (*items)->count(); });
        for (int j = 1; itemCount && j <= *itemCount; ++j) {
            proc.step(112, [&] { events_.yield(); });
            const bool isMail = proc.test(116, [&] {
                return (*items)->item(j)->itemClass() == automation::MailItemClass;
            });
            if (!isMail)
                continue;

            QString fileName;
            proc.step(118, [&] { fileName.clear(); });
            const bool noSubject = proc.test(120, [&] { return (*items)->item(j)->subject().isEmpty(); });
            if (noSubject)
                proc.step(122, [&] { fileName = naming::fallbackName(pOutputFile); });
            else
                proc.step(124, [&] { fileName = (*items)->item(j)->subject(); });

            static constexpr struct {
                int step;
                char16_t ch;
            } forbidden[] = {{126, u'/'}, {128, u'\\'}, {130, u'*'}, {132, u':'},
                             {134, u'?'}, {136, u'<'}, {138, u'>'}, {140, u'|'}};
            for (const auto& f : forbidden)
                proc.step(f.step, [&] { fileName.replace(QChar(f.ch), QLatin1Char(' ')); });

            QString folder;
            proc.step(142, [&] {
                // A subject that could not be read leaves no name; the fallback keeps the file
                // visible instead of hiding it as ".msg".
                if (fileName.isEmpty())
                    fileName = naming::fallbackName(pOutputFile);
                fileName = naming::replaceForbidden(fileName);
                folder = paths::getFolderPath(pOutputFile);
            });
            QString savedAs;
            const bool saved = proc.step(144, [&] {
                auto item = (*items)->item(j);
                // Equal names must not overwrite each other: take the first free number.
                for (int n = 1; n < INT_MAX; ++n) {
                    const QString path = folder + naming::candidate(fileName, n);
                    if (nameTaken(path))
                        continue;
                    try {
                        item->saveAs(path);
                        savedAs = path;
                        return;
                    } catch (const Failure& f) {
                        if (f.number() != failures::FileExists)
                            throw;
                    }
                }
            });
            if (observer_) {
                if (saved && !savedAs.isEmpty())
                    observer_->written(savedAs);
                else
                    observer_->reported();
            }
        }
    }
}

} // namespace talvenor
