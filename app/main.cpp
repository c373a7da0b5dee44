#include "conversionrun.h"
#include "form1.h"
#include "paths.h"
#include "qtdesktopshell.h"
#include "qteventloop.h"
#include "qtfiledialog.h"
#include "qtfolderpicker.h"
#include "qtmessagebox.h"
#include "qtprocess.h"
#include "settings.h"
#include "shell.h"
#include "storefactory.h"
#include "systemfolderaccess.h"

#include <QApplication>

int main(int argc, char** argv) {
    using namespace talvenor;
    QApplication app(argc, argv);
    QtMessageBox messages;
    QtEventLoop events;
    FileSettings settings;
    QtFolderPicker folderPicker;
    QtFileDialog fileDialog;
    const auto store = makeStoreFactory(events);
    QtProcess process;
    QtDesktopShell shell;
    SystemRandomDraw random;
    SystemFolderAccess folderAccess;
    Form1 window({messages, events, settings, folderPicker, fileDialog},
                 {*store, process, shell, random, folderAccess, paths::programFolder()});
    window.Form_Load(); // ends the process when the mail store cannot be driven
    window.show();
    return app.exec();
}
