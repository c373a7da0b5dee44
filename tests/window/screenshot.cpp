// Shows the real window on the X screen with a few entries and saves a shot of the whole
// screen: xvfb-run -s "-screen 0 640x560x24" window_screenshot out.png
#include "form1.h"
#include "quietprogram.h"
#include "recorders.h"
#include "settings.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

namespace {
class NoFolder : public talvenor::IFolderPicker {
public:
    QString browseForFolder(const QString&, const QString&) override { return {}; }
};
class NoFiles : public talvenor::IFileDialog {
public:
    QStringList openFiles(const talvenor::FileDialogRequest&) override { return {}; }
};
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("window.png");
    QTemporaryDir dir;
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::FileSettings settings(dir.path());
    NoFolder picker;
    NoFiles files;
    talvenor::testing::QuietProgram program;
    talvenor::Form1 window({messages, events, settings, picker, files},
                           program.services(dir.path()));
    for (const char* p : {"/home/user/Mail/archive-2019.pst", "/home/user/Mail/Outlook.pst",
                          "/media/backup/very/long/path/to/an/old/personal/folder/file/"
                          "that/is/cut/off/at/the/column/edge/backup.pst"})
        window.ListView1->append(QString::fromLatin1(p));
    window.Text1->setText(QStringLiteral("/home/user/Desktop/"));
    window.move(20, 20);
    window.show();
    QTimer::singleShot(1500, [&] {
        QPixmap shot = window.screen()->grabWindow(0);
        app.exit(shot.save(out) ? 0 : 1);
    });
    return app.exec();
}
