#pragma once

#include "automation.h"
#include "conversionrun.h"
#include "form1.h"
#include "progressbar.h"
#include "session.h"
#include "shell.h"

#include <QCursor>
#include <QPushButton>

#include <functional>
#include <memory>
#include <optional>

namespace talvenor {

// What the whole program needs beyond the window's own services.
struct MainFormServices {
    automation::ApplicationFactory& store; // the mail store conversions run on
    IProcess& process;                     // ended by the start-up check and by closing
    IDesktopShell& shell;                  // samples folder, home page
    IRandomDraw& random;                   // the one-in-a-hundred home page
    const IFolderAccess& folderAccess;     // whether an output folder takes files
    QString programFolder;                 // Samples, HAND-M.CUR, x/o.cjs and the icon
    std::function<QString()> desktopFolder = GetDesktopFolder;
};

inline const QString HelpText = QStringLiteral("Questions? Please contact Team Quorvane at ");

// The cursor in a .cur file with the hot spot the file names; nothing when it cannot be read.
std::optional<QCursor> loadCursorFile(const QString& path);

// The main window with everything it does: start-up, the conversion run, the sample files,
// Help, the pointer over its controls, and closing.
class MainForm : public Form1, private IOutputOptions {
    Q_OBJECT
public:
    MainForm(const Form1Services& services, const MainFormServices& program,
             QWidget* parent = nullptr);

    // The start-up sequence. False when the start-up check ended the process (which returns
    // only where ending is recorded, in tests).
    bool Form_Load();

    void PushButton2_Click() { run_->PushButton2_Click(); } // Start Converting
    void PushButton3_Click();                               // Help
    void PushButton7_Click();                               // Load Sample/Example Files

    // True from the start of a conversion run to its end. The list keeps its entries and
    // their order meanwhile, so that every entry is converted exactly once.
    bool IsConverting() const { return run_->IsConverting(); }

    QPushButton* PushButton2 = nullptr;
    QPushButton* PushButton3 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QPushButton* PushButton7 = nullptr;
    ProgressBar* ProgressBar1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool option1() const override;
    bool option2() const override;
    QString text1() const override;
    void applySkin();
    void pointerFeedback(const QPoint& globalPos);

    MainFormServices program_;
    ConversionSession session_;
    SessionConverter converter_;
    std::unique_ptr<ConversionRun> run_;
    QList<QWidget*> handControls_;
    QList<QWidget*> arrowControls_;
};

} // namespace talvenor
