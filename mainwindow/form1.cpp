#include "form1.h"

#include "addfiles.h"
#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "layout.h"
#include "paths.h"

#include <QPalette>

namespace talvenor {

namespace {
QFont arial(qreal points) {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(points);
    f.setBold(true);
    return f;
}
} // namespace

Form1::Form1(const Form1Services& services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      services_(services), pointer_(*this), windowFont_(arial(9)), buttonFont_(arial(11.25)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(ProductName);
    setFixedSize(twipsToPixels(WindowClientWidthTwips), twipsToPixels(WindowClientHeightTwips));
    setFont(windowFont_);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    ListView1 = addControl<SourceListView>("ListView1", this, pointer_);
    PushButton1 = addPushButton("PushButton1", QStringLiteral("Add PST File(s)"), this);
    PushButton6 = addPushButton("PushButton6", QStringLiteral("Clear List"), this);

    Frame1 = addControl<QGroupBox>("Frame1", this, QStringLiteral("Save Option"));
    Option1 =
        addControl<OptionButton>("Option1", Frame1, QStringLiteral("Save results to this folder:"));
    Frame4 = addControl<QGroupBox>("Frame4", Frame1);
    Text1 = addControl<QLineEdit>("Text1", Frame4);
    PushButton9 = addPushButton("PushButton9", QStringLiteral("..."), Frame4);
    Option2 = addControl<OptionButton>("Option2", Frame1,
                                       QStringLiteral("Save results in folder of original file"));
    Option1->setAutoExclusive(false);
    Option2->setAutoExclusive(false);
    Option1->setChecked(true); // as designed; the stored choice is restored at start-up
    addFolderControls();
    applyTabOrder();

    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton6, &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(PushButton9, &QPushButton::clicked, this, &Form1::PushButton9_Click);
    connect(Option1, &QRadioButton::clicked, this, &Form1::Option1_Click);
    connect(Option2, &QRadioButton::clicked, this, &Form1::Option2_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
}

void Form1::placeControl(QWidget* control, const char* name) {
    control->setObjectName(QLatin1StringView(name));
    if (const auto rect = placementOf(QLatin1StringView(name)))
        control->setGeometry(*rect);
}

QPushButton* Form1::addPushButton(const char* name, const QString& caption, QWidget* container) {
    auto* button = addControl<QPushButton>(name, container, caption);
    button->setFont(buttonFont_);
    button->setAutoDefault(false);
    return button;
}

void Form1::applyTabOrder() {
    QWidget* previous = nullptr;
    for (const char* name : WindowTabOrder) {
        auto* w = findChild<QWidget*>(QLatin1StringView(name));
        if (!w || w->focusPolicy() == Qt::NoFocus)
            continue; // frames and controls not built take no focus
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

void Form1::PushButton1_Click() {
    addPstFiles(services_.fileDialog, *ListView1, services_.messages);
}

void Form1::PushButton6_Click() {
    Procedure proc(services_.messages, windowLocation(QStringLiteral("PushButton6_Click")));
    if (proc.test(100, [&] { return !pointer_.isBusy(); }))
        proc.step(100, [&] { ListView1->clearAll(); });
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

} // namespace talvenor
