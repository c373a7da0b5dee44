#include "windowfixture.h"

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class OutputOptionsTest : public WindowTest {
protected:
    void click(QAbstractButton* option) {
        QTest::mouseClick(option, Qt::LeftButton, {}, QPoint(7, option->height() / 2));
    }
};

struct OptionCase {
    const char* name;
    bool option1Before, option2Before; // as restored
    const char* clicked;
    const char* option1Stored;
    const char* option2Stored;
    bool frame4Enabled;
};

TEST_F(OutputOptionsTest, EachClickWritesBothOptionsAndSetsTheFolderGroup) {
    const OptionCase cases[] = {
        {"beside the original", true, false, "Option2", "False", "True", false},
        {"back to the folder", false, true, "Option1", "True", "False", true},
        {"selected one clicked again", true, false, "Option1", "True", "False", true},
        {"neither selected, Option2 clicked", false, false, "Option2", "False", "True", false},
        {"neither selected, Option1 clicked", false, false, "Option1", "True", "False", true},
    };
    form->Text1->setText("/out/");
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        form->setOption1(c.option1Before);
        form->setOption2(c.option2Before);
        EXPECT_EQ(form->Option1->isChecked(), c.option1Before);
        EXPECT_EQ(form->Option2->isChecked(), c.option2Before);
        settings->writes.clear();
        click(form->findChild<QAbstractButton*>(c.clicked));
        EXPECT_EQ(form->Option1->isChecked(), QString(c.option1Stored) == "True");
        EXPECT_EQ(form->Option2->isChecked(), QString(c.option2Stored) == "True");
        EXPECT_EQ(settings->writes,
                  (QList<std::pair<QString, QString>>{{"Option1", c.option1Stored},
                                                      {"Option2", c.option2Stored}}));
        EXPECT_EQ(storedAfterRestart("Option1"), c.option1Stored);
        EXPECT_EQ(storedAfterRestart("Option2"), c.option2Stored);
        EXPECT_EQ(form->Frame4->isEnabled(), c.frame4Enabled);
        EXPECT_EQ(form->Text1->isEnabled(), c.frame4Enabled);
        EXPECT_EQ(form->PushButton9->isEnabled(), c.frame4Enabled);
        EXPECT_EQ(form->Text1->text(), QStringLiteral("/out/")); // kept while disabled
        EXPECT_EQ(storedAfterRestart("Text1"), QStringLiteral("/out/"));
    }
}

TEST_F(OutputOptionsTest, RestoringOneOptionClearsTheOther) {
    form->setOption2(true);
    EXPECT_FALSE(form->Option1->isChecked());
    form->setOption1(true);
    EXPECT_FALSE(form->Option2->isChecked());
    EXPECT_TRUE(settings->writes.isEmpty()); // restoring writes nothing
}

TEST_F(OutputOptionsTest, TypingWritesTheWholeTextAtEveryKeystroke) {
    QTest::keyClicks(form->Text1, "/out");
    EXPECT_EQ(settings->writesOf("Text1"), QStringList({"/", "/o", "/ou", "/out"}));
    EXPECT_EQ(storedAfterRestart("Text1"), QStringLiteral("/out"));
    QTest::keyClick(form->Text1, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(form->Text1, Qt::Key_Backspace);
    EXPECT_EQ(storedAfterRestart("Text1"), QString()); // an emptied box is stored empty
}

TEST_F(OutputOptionsTest, UnwritableStoreIsShownPlainlyAndTheBoxKeepsItsText) {
    settings->failWrites = true;
    QTest::keyClicks(form->Text1, "x");
    EXPECT_EQ(form->Text1->text(), QStringLiteral("x"));
    ASSERT_EQ(messages.shown.size(), 1);
    EXPECT_EQ(messages.shown[0].text, QStringLiteral("Permission denied"));
}

struct BrowseCase {
    const char* name;
    QString lastFolderDot; // stored before; "<absent>" for none
    QString chosen;        // what the picker returns; empty: cancelled
    QString text1Before;
    QString text1After;
    QString lastFolderDotAfter;
    QStringList writes; // key=value in order
};

TEST_F(OutputOptionsTest, BrowseButtonPutsTheChosenFolderIntoTheBox) {
    const BrowseCase cases[] = {
        {"a folder",
         "<absent>",
         "/home/u/Mail",
         "/old/",
         "/home/u/Mail/",
         "/home/u/Mail",
         {"LastFolderDot=/home/u/Mail", "Text1=/home/u/Mail/"}},
        {"the root folder", "/home/u/Mail", "/", "/old/", "/", "/", {"LastFolderDot=/", "Text1=/"}},
        {"cancel", "/home/u/Mail", "", "/old/", "/old/", "/home/u/Mail", {}},
        {"the same folder again", "/old", "/old", "/old/", "/old/", "/old", {"LastFolderDot=/old"}},
    };
    for (const BrowseCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.lastFolderDot != "<absent>")
            settings->store.writeSetting("LastFolderDot", c.lastFolderDot);
        form->Text1->setText(c.text1Before);
        settings->writes.clear();
        picker.calls.clear();
        picker.answers = {c.chosen};
        QTest::mouseClick(form->PushButton9, Qt::LeftButton);
        ASSERT_EQ(picker.calls.size(), 1);
        EXPECT_EQ(picker.calls[0].first, QStringLiteral("Please select folder:"));
        EXPECT_EQ(picker.calls[0].second,
                  c.lastFolderDot == "<absent>" ? QString() : c.lastFolderDot);
        EXPECT_EQ(form->Text1->text(), c.text1After);
        QStringList writes;
        for (const auto& [k, v] : settings->writes)
            writes << k + "=" + v;
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(storedAfterRestart("LastFolderDot"),
                  c.lastFolderDotAfter.isEmpty() ? "<absent>" : c.lastFolderDotAfter);
        EXPECT_EQ(storedAfterRestart("Text1"), c.text1After);
        EXPECT_TRUE(messages.shown.isEmpty());
    }
}

TEST_F(OutputOptionsTest, NextBrowseStartsAtTheFolderChosenLastEvenAfterARestart) {
    picker.answers = {"/srv/out"};
    form->PushButton9_Click();
    SetUp(); // a new window on the same store
    picker.answers = {""};
    form->PushButton9_Click();
    ASSERT_EQ(picker.calls.size(), 2);
    EXPECT_EQ(picker.calls[1].second, QStringLiteral("/srv/out"));
}

TEST_F(OutputOptionsTest, BrowseWithAnUnwritableStoreReportsAndStillFillsTheBox) {
    settings->failWrites = true;
    picker.answers = {"/data/"};
    form->PushButton9_Click();
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/data/")); // no second separator
    ASSERT_GE(messages.shown.size(), 1);
    EXPECT_TRUE(messages.shown[0].text.startsWith(
        "Permission denied\r\nin Hollisk2021/08/31.Form1.PushButton9_Click at line 104\r\r"));
    EXPECT_EQ(messages.shown[0].title, QStringLiteral("Application Error"));
}

} // namespace
