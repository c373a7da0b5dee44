#include "windowfixture.h"

#include "constants.h"
#include "conversionrun.h"
#include "errorreport.h"
#include "fakeautomation.h"
#include "form1.h"
#include "layout.h"
#include "qtprint.h"
#include "recordingshell.h"
#include "runfakes.h"
#include "samples.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

struct FixedDraw : IRandomDraw {
    int draw() override { return value; }
    int value = 50;
};

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid() && program.isValid() && desktop.isValid());
        QDir().mkpath(program.path() + "/Samples");
        settings = std::make_unique<RecordingSettings>(config.path());
    }

    // Copies our pictures from beside the test program, as an installation has them.
    void withArt() {
        for (const char* name : {"HAND-M.CUR", "talvenor-48.png", "talvenor-128.png"})
            QFile::copy(QCoreApplication::applicationDirPath() + "/" + name,
                        program.path() + "/" + name);
    }
    void addSample(const QString& name) {
        QFile f(program.path() + "/Samples/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }

    Form1& make() {
        form = std::make_unique<Form1>(
            Form1Services{messages, events, *settings, picker, fileDialog},
            ProgramServices{outlook, process, shell, draw, access, program.path(),
                            [this] { return desktop.path() + "/"; }});
        return *form;
    }
    Form1& start() {
        make();
        loaded = form->Form_Load();
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return *form;
    }

    QString storedAfterRestart(const QString& key) {
        return FileSettings(config.path()).readSetting(key, "<absent>");
    }

    // A pointer move over a control, as the platform delivers it (also to the containers
    // around a control that does not take it).
    void hover(QWidget* w, QPoint pos = {}) {
        if (pos.isNull())
            pos = w->rect().center();
        QMouseEvent e(QEvent::MouseMove, QPointF(pos), QPointF(w->mapToGlobal(pos)), Qt::NoButton,
                      Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }

    QTemporaryDir config, program, desktop;
    std::unique_ptr<RecordingSettings> settings;
    RecordingMessageBox messages;
    CountingEventLoop events;
    ScriptedFolderPicker picker;
    ScriptedFileDialog fileDialog;
    FakeOutlook outlook;
    RecordingProcess process;
    RecordingShell shell;
    FixedDraw draw;
    FakeFolderAccess access;
    std::unique_ptr<Form1> form;
    bool loaded = false;
};

TEST_F(MainFormTest, EveryControlStandsWhereTheLayoutPutsIt) {
    Form1& f = start();
    EXPECT_EQ(f.size(), QSize(536, 477));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(f.windowTitle(), "Talvenor Software");
    EXPECT_FALSE(f.windowIcon().isNull());
    EXPECT_EQ(f.palette().color(QPalette::Window), QColor(Qt::white));

    for (const ControlPlacement& p : WindowLayout) {
        SCOPED_TRACE(p.name);
        auto* w = f.findChild<QWidget*>(QLatin1StringView(p.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->geometry(), *placementOf(QLatin1StringView(p.name)));
        EXPECT_EQ(f.findChildren<QWidget*>(QLatin1StringView(p.name)).size(), 1);
    }
    const struct {
        QPushButton* button;
        const char* caption;
    } buttons[] = {{f.PushButton1, "Add PST File(s)"},
                   {f.PushButton2, "Start Converting"},
                   {f.PushButton3, "Help"},
                   {f.PushButton4, "Add All PST File(s) In Folder"},
                   {f.PushButton6, "Clear List"},
                   {f.PushButton7, "Load Sample/Example Files"},
                   {f.PushButton9, "..."}};
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.caption);
        EXPECT_EQ(b.button->text(), b.caption);
        EXPECT_EQ(b.button->font().family(), "Arial");
        EXPECT_DOUBLE_EQ(b.button->font().pointSizeF(), 11.25);
        EXPECT_TRUE(b.button->font().bold());
    }
    for (QWidget* w :
         QList<QWidget*>{f.ListView1, f.Frame1, f.Option1, f.Option2, f.Text1, f.ProgressBar1}) {
        EXPECT_EQ(w->font().family(), "Arial") << w->objectName().toStdString();
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), 9);
        EXPECT_TRUE(w->font().bold());
    }
    EXPECT_TRUE(f.ProgressBar1->isTextVisible());
    EXPECT_EQ(f.ProgressBar1->text(), "Progress Bar");
    EXPECT_EQ(f.ProgressBar1->value(), 0);

    // The Tab key visits the focusable controls in the designed order.
    QStringList expected;
    for (const char* name : WindowTabOrder) {
        auto* w = f.findChild<QWidget*>(QLatin1StringView(name));
        if (w->focusPolicy() & Qt::TabFocus)
            expected << name;
    }
    QStringList visited;
    QWidget* w = f.ListView1;
    for (int i = 0; i < expected.size(); ++i) {
        visited << w->objectName();
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus) || !expected.contains(w->objectName()));
    }
    EXPECT_EQ(visited, expected);
}

TEST_F(MainFormTest, StartWithAnEmptyStore) {
    withArt();
    addSample("s1.pst");
    Form1& f = start();
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.texts().join("\n").toStdString();
    EXPECT_FALSE(process.exited);
    EXPECT_EQ(settings->writesOf("Snapshot").size(), 1); // 128 found it filled
    CountingEventLoop quiet;
    EXPECT_EQ(unscrambleFromStore(settings->readSetting("Snapshot", ""), SnapshotKey, quiet),
              program.path() + "/Samples/s1.pst");
    EXPECT_TRUE(f.Option1->isChecked());
    EXPECT_FALSE(f.Option2->isChecked());
    EXPECT_EQ(f.Text1->text(), desktop.path() + "/");
    EXPECT_TRUE(f.Frame4->isEnabled());
    EXPECT_EQ(storedAfterRestart("Text1"), desktop.path() + "/");
    EXPECT_EQ(f.ListView1->headerItem()->text(0), "PST File(s)");
    EXPECT_EQ(f.ListView1->columnWidth(0), 467);
    EXPECT_EQ(QCoreApplication::applicationName(), "Talvenor");
    EXPECT_EQ(outlook.calls,
              (QStringList{"CreateObject Outlook.Application", "Release Application"}));
}

TEST_F(MainFormTest, StoredChoicesAreRestored) {
    struct Case {
        const char *option1, *option2;
        bool o1, o2, frame4;
        int reportStep; // 0: none
    };
    const Case cases[] = {
        {"True", "True", false, true, false, 0},    {"False", "False", false, false, false, 0},
        {"True", "False", true, false, true, 0},    {"False", "True", false, true, false, 0},
        {"maybe", "False", true, false, true, 138}, // damaged: left as designed
        {"True", "??", true, false, true, 140},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option1) + "/" + c.option2);
        settings->store.writeSetting("Option1", c.option1);
        settings->store.writeSetting("Option2", c.option2);
        settings->store.writeSetting("Text1", desktop.path());
        messages.shown.clear();
        Form1& f = start();
        EXPECT_EQ(f.Option1->isChecked(), c.o1);
        EXPECT_EQ(f.Option2->isChecked(), c.o2);
        EXPECT_EQ(f.Frame4->isEnabled(), c.frame4);
        EXPECT_EQ(f.Text1->text(), desktop.path());
        if (c.reportStep) {
            ASSERT_EQ(messages.shown.size(), 1);
            EXPECT_EQ(messages.shown[0].text,
                      errorReportText("Type mismatch", windowLocation("Form_Load"), c.reportStep));
            EXPECT_EQ(messages.shown[0].title, "Application Error");
        } else {
            EXPECT_TRUE(messages.shown.isEmpty());
        }
        // Restoring writes no choice back.
        EXPECT_EQ(storedAfterRestart("Option1"), c.option1);
        EXPECT_EQ(storedAfterRestart("Option2"), c.option2);
    }
}

TEST_F(MainFormTest, WithoutSamplesBothSnapshotStepsRunAtEveryStart) {
    start();
    EXPECT_EQ(settings->writesOf("Snapshot"), (QStringList{"", ""}));
    start();
    EXPECT_EQ(settings->writesOf("Snapshot").size(), 4);
}

TEST_F(MainFormTest, TheHomePageOpensOnlyOnTheDrawOfSeven) {
    for (int value : {1, 6, 8, 100})
        draw.value = value, start();
    EXPECT_TRUE(shell.urls.isEmpty());
    draw.value = 7;
    start();
    EXPECT_EQ(shell.urls, QStringList{HomePageUrl});
    EXPECT_TRUE(HomePageUrl.contains(".example."));
}

TEST_F(MainFormTest, WithoutTheMailStoreTheProcessEndsBeforeTheWindowShows) {
    outlook.fail("CreateObject Outlook.Application", 429, "ActiveX component can't create object");
    make();
    bool shownWhenExited = true;
    messages.onShow = [&](const Message&) { shownWhenExited = form->isVisible(); };
    EXPECT_FALSE(form->Form_Load());
    EXPECT_FALSE(shownWhenExited);
    ASSERT_EQ(messages.shown.size(), 1);
    EXPECT_TRUE(messages.shown[0].text.startsWith("Error 6631."));
    EXPECT_TRUE(process.exited);
}

TEST_F(MainFormTest, SkinOnlyWhenItsFileIsPresent) {
    start();
    EXPECT_TRUE(form->styleSheet().isEmpty());
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::white));
    QDir().mkpath(program.path() + "/x");
    QFile skin(program.path() + "/x/o.cjs");
    ASSERT_TRUE(skin.open(QIODevice::WriteOnly));
    skin.write("QPushButton { color: navy; }");
    skin.close();
    start();
    EXPECT_EQ(form->styleSheet(), "QPushButton { color: navy; }");
    EXPECT_NE(form->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(form->Frame1->palette().color(QPalette::Window),
              form->palette().color(QPalette::Window));
}

TEST_F(MainFormTest, PointerFeedback) {
    for (bool art : {true, false}) {
        SCOPED_TRACE(art ? "with HAND-M.CUR" : "without HAND-M.CUR");
        if (art)
            withArt();
        else
            QFile::remove(program.path() + "/HAND-M.CUR");
        Form1& f = start();
        IPointer& p = f.pointer();
        for (QPushButton* b : {f.PushButton1, f.PushButton2, f.PushButton3, f.PushButton4,
                               f.PushButton6, f.PushButton7, f.PushButton9}) {
            hover(&f, f.rect().topLeft() + QPoint(2, 2)); // the bare surface
            EXPECT_EQ(p.mode(), PointerMode::Default);
            hover(b);
            EXPECT_EQ(p.mode(), PointerMode::Hand) << b->objectName().toStdString();
        }
        EXPECT_EQ(f.cursor().shape(), art ? Qt::BitmapCursor : Qt::PointingHandCursor);
        hover(f.Option1); // no handler of its own: the hand stays
        EXPECT_EQ(p.mode(), PointerMode::Hand);
        hover(f.Text1);
        EXPECT_EQ(p.mode(), PointerMode::Hand);
        hover(f.Frame1, QPoint(f.Frame1->width() - 3, f.Frame1->height() - 3));
        EXPECT_EQ(p.mode(), PointerMode::Default);
        hover(f.PushButton9);
        hover(f.Frame4, QPoint(2, f.Frame4->height() - 3));
        EXPECT_EQ(p.mode(), PointerMode::Default);

        p.setMode(PointerMode::Busy);
        for (QWidget* w : QList<QWidget*>{f.PushButton2, f.Frame1, f.Frame4, &f}) {
            hover(w, QPoint(2, 2));
            EXPECT_EQ(p.mode(), PointerMode::Busy);
        }
        EXPECT_EQ(f.cursor().shape(), Qt::WaitCursor);
        p.setMode(PointerMode::Default);
    }
}

TEST_F(MainFormTest, HelpShowsTheContactMessageOnce) {
    Form1& f = start();
    QTest::mouseClick(f.PushButton3, Qt::LeftButton);
    ASSERT_EQ(messages.shown.size(), 1);
    EXPECT_EQ(messages.shown[0].text,
              "Questions? Please contact Team Quorvane at " + ContactPageUrl);
    EXPECT_EQ(messages.shown[0].title, "Talvenor");
    EXPECT_EQ(messages.shown[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::None);
}

struct RunThroughTheWindow : MainFormTest {
    static QStringList listTexts(Form1& f) {
        QStringList t;
        for (int i = 1; i <= f.ListView1->count(); ++i)
            t << f.ListView1->text(i);
        return t;
    }
    static void listMouse(Form1& f, QEvent::Type type, int position, Qt::MouseButtons held) {
        QWidget* surface = f.ListView1->viewport();
        const QPoint pos =
            f.ListView1->visualItemRect(f.ListView1->topLevelItem(position - 1)).center();
        QMouseEvent e(type, QPointF(pos), QPointF(surface->mapToGlobal(pos)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                      Qt::NoModifier);
        QApplication::sendEvent(surface, &e);
    }
    static void dragInList(Form1& f, int from, int to) {
        listMouse(f, QEvent::MouseButtonPress, from, Qt::LeftButton);
        listMouse(f, QEvent::MouseMove, to, Qt::LeftButton);
        listMouse(f, QEvent::MouseButtonRelease, to, Qt::NoButton);
    }

    QStringList addStores(int n) {
        QStringList paths;
        for (int i = 1; i <= n; ++i) {
            const QString path = QStringLiteral("/mail/box%1.pst").arg(i);
            FakeFolder root{"Root", {}, {}};
            root.addFolder("Inbox").addItem(QStringLiteral("Letter %1").arg(i));
            outlook.stores[path] = root;
            paths << path;
        }
        return paths;
    }
};

TEST_F(RunThroughTheWindow, RefusalsAndTheWholeRun) {
    Form1& f = start();
    QTest::mouseClick(f.PushButton2, Qt::LeftButton);
    EXPECT_EQ(messages.texts(), QStringList{runtext::NoFiles});

    for (const QString& p : addStores(4))
        f.ListView1->append(p);
    f.Text1->setText(desktop.path() + "/missing");
    messages.shown.clear();
    QTest::mouseClick(f.PushButton2, Qt::LeftButton);
    EXPECT_EQ(messages.texts(), QStringList{runtext::NoFolder});
    EXPECT_EQ(f.ProgressBar1->text(), "Progress Bar");

    f.Text1->setText(desktop.path() + "/");
    messages.shown.clear();
    QList<int> values;
    QStringList texts;
    events.onYield = [&] {
        if (values.isEmpty() || values.last() != f.ProgressBar1->value())
            values << f.ProgressBar1->value(), texts << f.ProgressBar1->text();
        EXPECT_TRUE(f.IsConverting());
    };
    QTest::mouseClick(f.PushButton2, Qt::LeftButton);
    // Each file starts at the share of the files before it.
    EXPECT_EQ(values, (QList<int>{0, 25, 50, 75}));
    EXPECT_EQ(texts, (QStringList{"Processing: box1.pst", "Processing: box2.pst",
                                  "Processing: box3.pst", "Processing: box4.pst"}));
    EXPECT_EQ(messages.texts(), QStringList{"Done."});
    EXPECT_EQ(f.ProgressBar1->value(), 0);
    EXPECT_EQ(f.ProgressBar1->text(), "Progress Bar");
    EXPECT_EQ(f.pointer().mode(), PointerMode::Default);
    EXPECT_FALSE(f.IsConverting());
    for (int i = 1; i <= 4; ++i)
        EXPECT_TRUE(QFile::exists(desktop.path() + QStringLiteral("/Letter %1.msg").arg(i)));
}

TEST_F(RunThroughTheWindow, TheListStaysAsItIsDuringARun) {
    Form1& f = start();
    const QStringList paths = addStores(3);
    for (const QString& p : paths)
        f.ListView1->append(p);
    int clicks = 0;
    events.onYield = [&] {
        // A second start, Clear List and removal of the selected entry all wait for the run.
        ++clicks;
        f.PushButton2_Click();
        f.PushButton6_Click();
        f.ListView1->setCurrentItem(f.ListView1->topLevelItem(0));
        f.ListView1->removeSelected();
        // Dragging the first entry down over the second.
        dragInList(f, 1, 2);
        EXPECT_EQ(listTexts(f), paths);
    };
    f.PushButton2_Click();
    EXPECT_GT(clicks, 0);
    EXPECT_EQ(outlook.saved.size(), 3);
    EXPECT_EQ(outlook.attached.size(), 0);
    QStringList converted;
    for (const QString& call : outlook.calls)
        if (call.startsWith("AddStore "))
            converted << call.mid(10, call.size() - 11);
    EXPECT_EQ(converted, paths); // each entry once, in order
    EXPECT_EQ(messages.texts(), QStringList{"Done."});
    events.onYield = nullptr;
    dragInList(f, 1, 2); // and work again afterwards
    EXPECT_EQ(listTexts(f), (QStringList{paths[1], paths[0], paths[2]}));
    f.PushButton6_Click();
    EXPECT_EQ(f.ListView1->count(), 0);
}

TEST_F(RunThroughTheWindow, ClosingDuringARunEndsTheProcessAtOnce) {
    Form1& f = start();
    for (const QString& p : addStores(2))
        f.ListView1->append(p);
    events.onYield = [&] {
        if (!process.exited)
            f.close();
    };
    f.PushButton2_Click();
    EXPECT_TRUE(process.exited);
    EXPECT_EQ(process.exitCode, 0);
}

TEST_F(MainFormTest, SampleCommand) {
    addSample("s1.pst");
    addSample("s2.pst");
    Form1& f = start();
    QTest::mouseClick(f.PushButton7, Qt::LeftButton);
    QTest::mouseClick(f.PushButton7, Qt::LeftButton);
    const QString s = program.path() + "/Samples/";
    EXPECT_EQ(f.ListView1->count(), 2);
    EXPECT_EQ(f.ListView1->text(1), s + "s1.pst");
    EXPECT_EQ(f.ListView1->text(2), s + "s2.pst");
    EXPECT_EQ(messages.texts(), (QStringList{OpenSamplesQuestion, OpenSamplesQuestion}));
    EXPECT_TRUE(shell.folders.isEmpty());
    messages.answers = {MessageAnswer::Yes};
    QTest::mouseClick(f.PushButton7, Qt::LeftButton);
    EXPECT_EQ(shell.folders, QStringList{s});
}

} // namespace
