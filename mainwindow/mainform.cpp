#include "mainform.h"

#include "constants.h"
#include "errorreport.h"
#include "layout.h"
#include "outlookcheck.h"
#include "samples.h"
#include "settings.h"

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>

namespace talvenor {

std::optional<QCursor> loadCursorFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    QPixmap picture;
    if (bytes.size() < 22 || !picture.loadFromData(bytes, "ICO"))
        return std::nullopt;
    // The first directory entry of a cursor file keeps the hot spot where an icon keeps its
    // planes and bit count.
    auto word = [&](int at) { return int(uchar(bytes[at])) | int(uchar(bytes[at + 1])) << 8; };
    const bool isCursor = word(2) == 2;
    return QCursor(picture, isCursor ? word(10) : -1, isCursor ? word(12) : -1);
}

MainForm::MainForm(const Form1Services& services, const MainFormServices& program, QWidget* parent)
    : Form1(services, parent), program_(program),
      session_(program.store, services.messages, services.events, pointer()), converter_(session_) {
    ProgressBar1 = addControl<ProgressBar>("ProgressBar1", this);
    IOutputOptions& options = *this;
    run_ = std::make_unique<ConversionRun>(*ListView1, options, *ProgressBar1, pointer(),
                                           services.events, services.messages, converter_,
                                           program.folderAccess);
    PushButton3 = addPushButton("PushButton3", QStringLiteral("Help"), this);
    PushButton4 = findChild<QPushButton*>(QStringLiteral("PushButton4"));
    if (!PushButton4) // its command belongs to the folder scan
        PushButton4 =
            addPushButton("PushButton4", QStringLiteral("Add All PST File(s) In Folder"), this);
    PushButton7 = addPushButton("PushButton7", QStringLiteral("Load Sample/Example Files"), this);
    PushButton2 = addPushButton("PushButton2", QStringLiteral("Start Converting"), this);
    applyTabOrder();
    ListView1->setLocked([this] { return IsConverting(); });

    connect(PushButton2, &QPushButton::clicked, this, &MainForm::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &MainForm::PushButton3_Click);
    connect(PushButton7, &QPushButton::clicked, this, &MainForm::PushButton7_Click);

    handControls_ = {PushButton1, PushButton2, PushButton3, PushButton4,
                     PushButton6, PushButton7, PushButton9};
    arrowControls_ = {this, Frame1, Frame4};
    for (QWidget* w : handControls_ + arrowControls_) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
}

bool MainForm::option1() const {
    return Option1->isChecked();
}
bool MainForm::option2() const {
    return Option2->isChecked();
}
QString MainForm::text1() const {
    return Text1->text();
}

void MainForm::applySkin() {
    const auto sheet = readSkin(program_.programFolder);
    if (!sheet)
        return;
    const QColor face = palette().color(QPalette::Button);
    for (QWidget* w : QList<QWidget*>{this, Frame1, Frame4, Option1, Option2}) {
        QPalette p = w->palette();
        p.setColor(QPalette::Window, face);
        w->setPalette(p);
    }
    setStyleSheet(*sheet);
}

bool MainForm::Form_Load() {
    Procedure proc(services().messages, windowLocation(QStringLiteral("Form_Load")));
    ISettings& settings = services().settings;
    IEventLoop& events = services().events;
    const QString hand = program_.programFolder + QStringLiteral("/HAND-M.CUR");

    proc.step(100, [&] { applySkin(); });
    if (proc.test(102, [&] { return PathExists(hand); }))
        proc.step(104, [&] {
            if (const auto cursor = loadCursorFile(hand))
                windowPointer().setHandCursor(*cursor);
        });
    proc.step(106, [&] {
        if (program_.random.draw() == 7)
            program_.shell.openUrl(HomePageUrl);
    });
    auto snapshotWhenEmpty = [&] {
        if (settings.readSetting(SnapshotSetting, QString()).isEmpty())
            SnapshotSamples(program_.programFolder, settings, events);
    };
    proc.step(108, snapshotWhenEmpty);
    proc.step(128, snapshotWhenEmpty);
    proc.step(130, [&] {
        setWindowTitle(ProductName);
        QIcon icon;
        for (const char* name : {"/talvenor-48.png", "/talvenor-128.png"})
            icon.addFile(program_.programFolder + QLatin1StringView(name));
        setWindowIcon(icon);
        SetApplicationTitle();
    });
    proc.step(132, [&] { ListView1->setHeaderLabels({ListHeaderText}); });
    proc.step(134, [&] { ListView1->setColumnWidth(0, twipsToPixels(ListColumnWidthTwips)); });
    proc.step(136, [&] {
        Text1->setText(settings.readSetting(QStringLiteral("Text1"), program_.desktopFolder()));
    });
    proc.step(138, [&] {
        setOption1(toBoolean(settings.readSetting(QStringLiteral("Option1"), settingText(1))));
    });
    proc.step(140, [&] {
        setOption2(toBoolean(settings.readSetting(QStringLiteral("Option2"), settingText(0))));
    });
    if (proc.test(142, [&] { return Option1->isChecked(); }))
        proc.step(144, [&] { Frame4->setEnabled(true); });
    else
        proc.step(146, [&] { Frame4->setEnabled(false); });

    // Shown centred on the screen it opens on.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

    bool available = true;
    proc.step(148, [&] {
        available = CheckOutlook(program_.store, services().messages, program_.process);
    });
    return available;
}

void MainForm::PushButton3_Click() {
    Procedure proc(services().messages, windowLocation(QStringLiteral("PushButton3_Click")));
    proc.step(104, [&] {
        services().messages.show(
            {HelpText + ContactPageUrl, applicationTitle(), MessageButtons::Ok, MessageIcon::None});
    });
}

void MainForm::PushButton7_Click() {
    talvenor::PushButton7_Click(*ListView1, program_.programFolder, services().settings,
                                services().messages, services().events, program_.shell);
}

void MainForm::pointerFeedback(const QPoint& globalPos) {
    if (pointer().isBusy())
        return; // the hourglass stays while the window works
    // The deepest control under the pointer decides, also when a move that a button did not
    // take travels on to the frame or window around it.
    QWidget* under = childAt(mapFromGlobal(globalPos));
    if (handControls_.contains(under))
        pointer().setMode(PointerMode::Hand);
    else if (!under || arrowControls_.contains(under))
        pointer().setMode(PointerMode::Default);
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove)
        pointerFeedback(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
    return Form1::eventFilter(watched, event);
}

void MainForm::closeEvent(QCloseEvent* event) {
    // The program ends with its window, also in the middle of a run: a run only lets the
    // window act between two files or two messages, when no message file is half written.
    event->accept();
    program_.process.exit(0);
}

} // namespace talvenor
