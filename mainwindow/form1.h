#pragma once

#include "addfolder.h"
#include "filedialog.h"
#include "folderpicker.h"
#include "settings.h"
#include "sourcelistview.h"
#include "ui.h"
#include "windowpointer.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include <memory>

namespace talvenor {

// What the window needs from outside: the user's dialogs, the event loop and the settings.
struct Form1Services {
    IMessageBox& messages;
    IEventLoop& events;
    ISettings& settings;
    IFolderPicker& folderPicker;
    IFileDialog& fileDialog;
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

// The main window. Every control is a child named after its control name and stands where the
// layout table puts it; the window owns them all for its whole life.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(const Form1Services& services, QWidget* parent = nullptr);

    IPointer& pointer() { return pointer_; }
    WindowPointer& windowPointer() { return pointer_; }
    const Form1Services& services() const { return services_; }

    // Selects or clears an output option as the window's state, without writing settings;
    // selecting one clears the other. Frame4 is left as it is.
    void setOption1(bool selected);
    void setOption2(bool selected);

    // The commands, named after their controls.
    void PushButton1_Click(); // Add PST File(s)
    void PushButton6_Click(); // Clear List
    void PushButton9_Click(); // browse for the output folder
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();

    // Whole folder trees: "Add All PST File(s) In Folder", and files and folders dropped on
    // the list.
    void PushButton4_Click();
    void ListView1_Drop(const QStringList& paths);

    // Controls, owned by the window.
    SourceListView* ListView1 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QPushButton* PushButton6 = nullptr;
    QGroupBox* Frame1 = nullptr;
    OptionButton* Option1 = nullptr;
    QGroupBox* Frame4 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* PushButton9 = nullptr;
    OptionButton* Option2 = nullptr;

protected:
    // Creates a child control named and placed as the layout table says.
    template <class W, class... Args>
    W* addControl(const char* name, QWidget* container, Args&&... args) {
        auto* w = new W(std::forward<Args>(args)..., container);
        placeControl(w, name);
        return w;
    }
    void placeControl(QWidget* control, const char* name);
    QPushButton* addPushButton(const char* name, const QString& caption, QWidget* container);
    // Re-chains the Tab key through the controls present, in the designed order.
    void applyTabOrder();

    const QFont& windowFont() const { return windowFont_; }
    const QFont& buttonFont() const { return buttonFont_; }

private:
    void optionClicked();
    void addFolderControls();
    // Handlers without an error report of their own: a failure is shown plainly and the
    // window goes on.
    template <class F> void untrapped(F&& action);

    Form1Services services_;
    WindowPointer pointer_;
    QFont windowFont_;
    QFont buttonFont_;
    std::unique_ptr<AddFolderCommand> addFolder_;
};

} // namespace talvenor
