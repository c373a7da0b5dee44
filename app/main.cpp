#include "form1.h"
#include "qteventloop.h"
#include "qtfiledialog.h"
#include "qtfolderpicker.h"
#include "qtmessagebox.h"
#include "settings.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    talvenor::QtMessageBox messages;
    talvenor::QtEventLoop events;
    talvenor::FileSettings settings;
    talvenor::QtFolderPicker folderPicker;
    talvenor::QtFileDialog fileDialog;
    talvenor::Form1 window({messages, events, settings, folderPicker, fileDialog});
    window.show();
    return app.exec();
}
