#include "form1.h"

#include "addfiles.h"
#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "listdrop.h"
#include "outlookcheck.h"
#include "paths.h"
#include "samples.h"

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QScreen>

namespace talvenor {

namespace {
QFont arial(qreal points) {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(points);
    f.setBold(true);
    return f;
}
} // namespace

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

Form1::Form1(const Form1Services& services, const ProgramServices& program, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      services_(services), program_(program), pointer_(*this), windowFont_(arial(9)),
      buttonFont_(arial(11.25)),
      session_(program.store, services.messages, services.events, pointer_), converter_(session_) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(ProductName);
    setFixedSize(twipsToPixels(WindowClientWidthTwips), twipsToPixels(WindowClientHeightTwips));
    setFont(windowFont_);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    buildControls();
    Option1->setAutoExclusive(false);
    Option2->setAutoExclusive(false);
    Option1->setChecked(true); // as designed; the stored choice is restored at start-up
    applyTabOrder();

    IOutputOptions& options = *this;
    run_ = std::make_unique<ConversionRun>(*ListView1, options, *ProgressBar1, pointer_,
                                           services.events, services.messages, converter_,
                                           program.folderAccess);
    addFolder_ =
        std::make_unique<AddFolderCommand>(*ListView1, services_.settings, services_.folderPicker,
                                           pointer_, services_.messages, services_.events);
    ListView1->setLocked([this] { return IsConverting(); });
    connectCommands();

    handControls_ = {PushButton1, PushButton2, PushButton3, PushButton4,
                     PushButton6, PushButton7, PushButton9};
    arrowControls_ = {this, Frame1, Frame4};
    for (QWidget* w : handControls_ + arrowControls_) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
}

QWidget* Form1::buildControl(const ControlPlacement& entry, QWidget* container) {
    const QString caption = QString::fromUtf8(entry.caption);
    switch (entry.kind) {
    case ControlKind::List:
        return new SourceListView(pointer_, container);
    case ControlKind::Button: {
        auto* button = new QPushButton(caption, container);
        button->setFont(buttonFont_);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::Frame:
        return new QGroupBox(caption, container);
    case ControlKind::Option:
        return new OptionButton(caption, container);
    case ControlKind::TextBox:
        return new QLineEdit(container);
    case ControlKind::ProgressBar:
        return new ProgressBar(container);
    }
    return nullptr;
}

void Form1::buildControls() {
    for (const ControlPlacement& entry : WindowLayout) {
        QWidget* container =
            entry.container ? findChild<QWidget*>(QLatin1StringView(entry.container)) : this;
        QWidget* control = buildControl(entry, container);
        control->setObjectName(QLatin1StringView(entry.name));
        control->setGeometry(*placementOf(QLatin1StringView(entry.name)));
    }
    const auto control = [this](auto*& member, const char* name) {
        member = findChild<std::remove_reference_t<decltype(*member)>*>(QLatin1StringView(name));
        Q_ASSERT(member);
    };
    control(ListView1, "ListView1");
    control(PushButton1, "PushButton1");
    control(PushButton2, "PushButton2");
    control(PushButton3, "PushButton3");
    control(PushButton4, "PushButton4");
    control(PushButton6, "PushButton6");
    control(PushButton7, "PushButton7");
    control(PushButton9, "PushButton9");
    control(Frame1, "Frame1");
    control(Frame4, "Frame4");
    control(Option1, "Option1");
    control(Option2, "Option2");
    control(Text1, "Text1");
    control(ProgressBar1, "ProgressBar1");
}

void Form1::connectCommands() {
    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(PushButton6, &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
    connect(PushButton9, &QPushButton::clicked, this, &Form1::PushButton9_Click);
    connect(Option1, &QRadioButton::clicked, this, &Form1::Option1_Click);
    connect(Option2, &QRadioButton::clicked, this, &Form1::Option2_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    new ListDropTarget(*ListView1, [this](const QStringList& paths) { ListView1_Drop(paths); });
}

void Form1::applyTabOrder() {
    QWidget* previous = nullptr;
    for (const char* name : WindowTabOrder) {
        auto* w = findChild<QWidget*>(QLatin1StringView(name));
        if (!w || w->focusPolicy() == Qt::NoFocus)
            continue; // frames take no focus
        if (previous)
            setTabOrder(previous, w);
        previous = w;
    }
}

template <class F> void Form1::untrapped(F&& action) {
    try {
        action();
    } catch (const Failure& f) {
        services_.messages.show({f.description(), applicationTitle()});
    } catch (const std::exception& e) {
        services_.messages.show({QString::fromUtf8(e.what()), applicationTitle()});
    }
}

bool Form1::option1() const {
    return Option1->isChecked();
}
bool Form1::option2() const {
    return Option2->isChecked();
}
QString Form1::text1() const {
    return Text1->text();
}

void Form1::setOption1(bool selected) {
    Option1->setChecked(selected);
    if (selected)
        Option2->setChecked(false);
}

void Form1::setOption2(bool selected) {
    Option2->setChecked(selected);
    if (selected)
        Option1->setChecked(false);
}

void Form1::applySkin() {
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

bool Form1::Form_Load() {
    Procedure proc(services_.messages, windowLocation(QStringLiteral("Form_Load")));
    ISettings& settings = services_.settings;
    IEventLoop& events = services_.events;
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
        available = CheckOutlook(program_.store, services_.messages, program_.process);
    });
    return available;
}

void Form1::PushButton1_Click() {
    addPstFiles(services_.fileDialog, *ListView1, services_.messages);
}

void Form1::PushButton3_Click() {
    Procedure proc(services_.messages, windowLocation(QStringLiteral("PushButton3_Click")));
    proc.step(104, [&] {
        services_.messages.show(
            {HelpText + ContactPageUrl, applicationTitle(), MessageButtons::Ok, MessageIcon::None});
    });
}

void Form1::PushButton4_Click() {
    addFolder_->PushButton4_Click();
}

void Form1::ListView1_Drop(const QStringList& paths) {
    addFolder_->dropPaths(paths);
}

void Form1::PushButton6_Click() {
    Procedure proc(services_.messages, windowLocation(QStringLiteral("PushButton6_Click")));
    if (proc.test(100, [&] { return !pointer_.isBusy(); }))
        proc.step(100, [&] { ListView1->clearAll(); });
}

void Form1::PushButton7_Click() {
    talvenor::PushButton7_Click(*ListView1, program_.programFolder, services_.settings,
                                services_.messages, services_.events, program_.shell);
}

void Form1::PushButton9_Click() {
    Procedure proc(services_.messages, windowLocation(QStringLiteral("PushButton9_Click")));
    QString folder;
    proc.step(100, [&] {
        const QString initial = services_.settings.readSetting(QStringLiteral("LastFolderDot"), {});
        folder = services_.folderPicker.browseForFolder(FolderPrompt, initial);
    });
    if (proc.test(102, [&] { return folder.isEmpty(); }))
        return; // cancelled: nothing changes
    bool endsWithSeparator = false;
    proc.step(104, [&] {
        // Tested first, so that a store that cannot be written never doubles the separator.
        endsWithSeparator = folder.endsWith(paths::separator());
        services_.settings.writeSetting(QStringLiteral("LastFolderDot"), folder);
    });
    if (!endsWithSeparator)
        proc.step(106, [&] { Text1->setText(folder + paths::separator()); });
    else
        proc.step(108, [&] { Text1->setText(folder); });
}

void Form1::optionClicked() {
    untrapped([&] {
        services_.settings.writeSetting(QStringLiteral("Option1"),
                                        settingText(Option1->isChecked()));
        services_.settings.writeSetting(QStringLiteral("Option2"),
                                        settingText(Option2->isChecked()));
    });
    Frame4->setEnabled(Option1->isChecked());
}

void Form1::Option1_Click() {
    setOption1(true);
    optionClicked();
}

void Form1::Option2_Click() {
    setOption2(true);
    optionClicked();
}

void Form1::Text1_Change() {
    untrapped([&] { services_.settings.writeSetting(QStringLiteral("Text1"), Text1->text()); });
}

void Form1::pointerFeedback(const QPoint& globalPos) {
    if (pointer_.isBusy())
        return; // the hourglass stays while the window works
    // The deepest control under the pointer decides, also when a move that a button did not
    // take travels on to the frame or window around it.
    QWidget* under = childAt(mapFromGlobal(globalPos));
    if (handControls_.contains(under))
        pointer_.setMode(PointerMode::Hand);
    else if (!under || arrowControls_.contains(under))
        pointer_.setMode(PointerMode::Default);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove)
        pointerFeedback(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
    return QWidget::eventFilter(watched, event);
}

void Form1::closeEvent(QCloseEvent* event) {
    // The program ends with its window, also in the middle of a run: a run only lets the
    // window act between two files or two messages, when no message file is half written.
    event->accept();
    program_.process.exit(0);
}

} // namespace talvenor
