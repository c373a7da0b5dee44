#include "constants.h"
#include "errorreport.h"
#include "recorders.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace talvenor;
using talvenor::testing::RecordingMessageBox;

namespace {

TEST(ErrorReport, TextIsExactToTheByte) {
    const QString text = errorReportText(QStringLiteral("Disk full"),
                                         windowLocation(QStringLiteral("GetMailItems")), 144);
    EXPECT_EQ(text, QStringLiteral("Disk full\r\nin Hollisk2021/08/31.Form1.GetMailItems at line "
                                   "144\r\rPlease email screenshot of this message to ") +
                        SupportEmail);
    EXPECT_EQ(folderScanLocation(QStringLiteral("GetSubDirectories2016")),
              QStringLiteral("in Wendrup2021/08/31.AddFolder.GetSubDirectories2016 "));
    const Message m = errorReportMessage("x", "in y ", 100);
    EXPECT_EQ(m.title, QStringLiteral("Application Error"));
    EXPECT_EQ(m.buttons, MessageButtons::Ok);
    EXPECT_EQ(m.icon, MessageIcon::Warning);
}

TEST(Procedure, FailedStepIsReportedAndTheNextRuns) {
    RecordingMessageBox box;
    Procedure proc(box, windowLocation("Test"));
    QStringList ran;
    EXPECT_TRUE(proc.step(100, [&] { ran << "100"; }));
    EXPECT_FALSE(proc.step(102, [&] { throw Failure(53, "File not found"); }));
    EXPECT_TRUE(proc.step(104, [&] { ran << "104"; }));
    EXPECT_EQ(ran, QStringList({"100", "104"}));
    ASSERT_EQ(box.shown.size(), 1);
    EXPECT_TRUE(box.shown[0].text.startsWith("File not found\r\nin Hollisk2021/08/31.Form1.Test at line 102\r\r"));
    EXPECT_EQ(proc.lastStep(), 104);
}

TEST(Procedure, FailedTestLetsTheGuardedStepsRunAndFailedReadSkips) {
    RecordingMessageBox box;
    Procedure proc(box, "in x ");
    EXPECT_TRUE(proc.test(100, []() -> bool { throw Failure(13, "Type mismatch"); }));
    EXPECT_FALSE(proc.test(102, [] { return false; }));
    EXPECT_FALSE(proc.read(104, []() -> int { throw std::runtime_error("boom"); }).has_value());
    EXPECT_EQ(proc.read(106, [] { return 7; }), 7);
    ASSERT_EQ(box.shown.size(), 2);
    EXPECT_TRUE(box.shown[1].text.startsWith("boom\r\nin x at line 104"));
}

TEST(Procedure, FailureWhileReportingPassesToTheCaller) {
    RecordingMessageBox box;
    box.onShow = [](const Message&) { throw Failure(5, "the box itself failed"); };
    Procedure proc(box, "in x ");
    EXPECT_THROW(proc.step(100, [] { throw Failure(1, "first"); }), Failure);
}

TEST(ApplicationTitle, CutsAtLeastOnceDownToFortyCharacters) {
    EXPECT_EQ(applicationTitle(), QStringLiteral("Talvenor"));
    EXPECT_EQ(applicationTitleFor("Abcdefghij Abcdefghij Abcdefghij Abcdefghij Abcdefghij"),
              QStringLiteral("Abcdefghij Abcdefghij Abcdefghij"));
    EXPECT_EQ(applicationTitleFor("Short Name Here"), QStringLiteral("Short Name"));
}

} // namespace
