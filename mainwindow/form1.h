#pragma once

#include "addfolder.h"
#include "automation.h"
#include "conversionrun.h"
#include "filedialog.h"
#include "folderpicker.h"
#include "layout.h"
#include "progressbar.h"
#include "session.h"
#include "settings.h"
#include "shell.h"
#include "sourcelistview.h"
#include "ui.h"
#include "windowpointer.h"

#include <QCursor>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

namespace talvenor {

// What the window needs from outside: the user's dialogs, the event loop and the settings.
struct Form1Services {
    IMessageBox& messages;
    IEventLoop& events;
    ISettings& settings;
    IFolderPicker& folderPicker;
    IFileDialog& fileDialog;
};

// What the whole program needs beyond the window's own services.
struct ProgramServices {
    automation::ApplicationFactory& store; // the mail store conversions run on
    IProcess& process;                     // ended by the start-up check and by closing
    IDesktopShell& shell;                  // samples folder, home page
    IRandomDraw& random;                   // the one-in-a-hundred home page
    const IFolderAccess& folderAccess;     // whether an output folder takes files
    QString programFolder;                 // Samples, HAND-M.CUR, x/o.cjs and the icon
    std::function<QString()> desktopFolder = GetDesktopFolder;
};

// An output option. The pair is kept exclusive by the window rather than by Qt, because Qt
// cannot show both cleared, which a restored pair of settings may ask for; a click on a
// selected option leaves it selected.
class OptionButton : public QRadioButton {
    Q_OBJECT
public:
    using QRadioButton::QRadioButton;

protected:
    void nextCheckState() override { setChecked(true); }
};

inline const QString FolderPrompt = QStringLiteral("Please select folder:");
inline const QString HelpText = QStringLiteral("Questions? Please contact Team Quorvane at ");

// The cursor in a .cur file with the hot spot the file names; nothing when it cannot be read.
std::optional<QCursor> loadCursorFile(const QString& path);

// The main window. Every control is a child named after its control name, built from the
// layout table and standing where it puts it; the window owns them all for its whole life.
// Its events go to the commands (the run, the folder scan, the file and sample commands),
// which need nothing but QtCore.
class Form1 : public QWidget, private IOutputOptions {
    Q_OBJECT
public:
    Form1(const Form1Services& services, const ProgramServices& program, QWidget* parent = nullptr);

    IPointer& pointer() { return pointer_; }
    WindowPointer& windowPointer() { return pointer_; }
    const Form1Services& services() const { return services_; }

    // The start-up sequence. False when the start-up check ended the process (which returns
    // only where ending is recorded, in tests).
    bool Form_Load();

    // Selects or clears an output option as the window's state, without writing settings;
    // selecting one clears the other. Frame4 is left as it is.
    void setOption1(bool selected);
    void setOption2(bool selected);

    // The commands, named after their controls.
    void PushButton1_Click();                        // Add PST File(s)
    void PushButton2_Click() { run_->convertAll(); } // Start Converting
    void PushButton3_Click();                        // Help
    void PushButton4_Click();                        // Add All PST File(s) In Folder
    void PushButton6_Click();                        // Clear List
    void PushButton7_Click();                        // Load Sample/Example Files
    void PushButton9_Click();                        // browse for the output folder
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();
    // Files and folders dropped on the list.
    void ListView1_Drop(const QStringList& paths);

    // True from the start of a conversion run to its end. The list keeps its entries and
    // their order meanwhile, so that every entry is converted exactly once.
    bool IsConverting() const { return run_->IsConverting(); }

    // Controls, owned by the window.
    SourceListView* ListView1 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QPushButton* PushButton2 = nullptr;
    QPushButton* PushButton3 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QPushButton* PushButton6 = nullptr;
    QPushButton* PushButton7 = nullptr;
    QGroupBox* Frame1 = nullptr;
    OptionButton* Option1 = nullptr;
    QGroupBox* Frame4 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* PushButton9 = nullptr;
    OptionButton* Option2 = nullptr;
    ProgressBar* ProgressBar1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    QWidget* buildControl(const ControlPlacement& entry, QWidget* container);
    // Re-chains the Tab key through the controls, in the designed order.
    void applyTabOrder();
    void connectCommands();
    bool option1() const override;
    bool option2() const override;
    QString text1() const override;
    void optionClicked();
    void applySkin();
    void pointerFeedback(const QPoint& globalPos);
    // Handlers without an error report of their own: a failure is shown plainly and the
    // window goes on.
    template <class F> void untrapped(F&& action);

    Form1Services services_;
    ProgramServices program_;
    WindowPointer pointer_;
    QFont windowFont_;
    QFont buttonFont_;
    ConversionSession session_;
    SessionConverter converter_;
    std::unique_ptr<ConversionRun> run_;
    std::unique_ptr<AddFolderCommand> addFolder_;
    QList<QWidget*> handControls_;
    QList<QWidget*> arrowControls_;
};

} // namespace talvenor
