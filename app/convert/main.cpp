// talvenor-convert: the window's conversion for scripts and batch work, without a display.
#include "batch.h"
#include "conversionrun.h"
#include "paths.h"
#include "session.h"
#include "storefactory.h"
#include "systemfolderaccess.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace talvenor;
    using namespace talvenor::batch;
    QCoreApplication app(argc, argv);
    const Arguments args = parseArguments(app.arguments().mid(1));
    if (args.help) {
        std::fputs(usageText().toLocal8Bit().constData(), stdout);
        return AllWritten;
    }
    if (!args.error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", ProgramName.toLocal8Bit().constData(),
                     args.error.toLocal8Bit().constData(), ProgramName.toLocal8Bit().constData());
        return BadUsageOrNothingConverted;
    }

    // The run works with whole paths, as the window's list holds them.
    const auto absolute = [](const QString& path) {
        return QDir::cleanPath(QDir::current().absoluteFilePath(path));
    };
    QStringList files;
    for (const QString& f : args.files)
        files << absolute(f);
    const QString folder = args.beside ? QString() : absolute(args.folder);
    if (!args.beside && !paths::isFolder(folder)) {
        std::fprintf(stderr, "%s: %s: no such folder\n", ProgramName.toLocal8Bit().constData(),
                     args.folder.toLocal8Bit().constData());
        return BadUsageOrNothingConverted;
    }

    FileList list(files);
    FixedOutput output(args.beside, folder);
    const auto outputFolder = [&](const QString& pst) {
        return paths::getFolderPath(args.beside ? outputPathBesideSource(pst)
                                                : outputPathInFolder(folder, pst));
    };
    BatchReport report(list, outputFolder,
                       {stderr, args.json ? stdout : nullptr, ::isatty(STDERR_FILENO) == 1});
    PlainPointer pointer;
    CoreEventLoop events;
    NoProgress progress; // the report draws its own bar from the outcomes
    const auto store = makeStoreFactory(events);
    // Nothing is shown as a window would show it: every outcome reaches the report as a value.
    struct NoWindow : IMessageBox {
        MessageAnswer show(const Message& m) override {
            return m.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
        }
    } noWindow;
    ConversionSession session(*store, noWindow, events, pointer);
    SessionConverter converter(session);
    SystemFolderAccess access;
    ConversionRun run(list, output, progress, pointer, events, report, converter, access);
    run.convertAll();
    report.finish();
    return report.exitStatus();
}
