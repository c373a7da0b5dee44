#include "failure.h"
#include "fakeautomation.h"
#include "outlookcheck.h"
#include "recorders.h"

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

TEST(CheckOutlookTest, AnAvailableStoreIsCreatedReleasedAndNothingShown) {
    FakeOutlook outlook;
    RecordingMessageBox messages;
    RecordingProcess process;
    EXPECT_TRUE(CheckOutlook(outlook, messages, process));
    EXPECT_TRUE(messages.shown.isEmpty());
    EXPECT_FALSE(process.exited);
    EXPECT_EQ(outlook.calls,
              (QStringList{"CreateObject Outlook.Application", "Release Application"}));
}

TEST(CheckOutlookTest, AnyFailureToCreateShowsTheMessageOnceAndEndsTheProcess) {
    struct ThrowsStd : automation::ApplicationFactory {
        std::unique_ptr<automation::Application> create(const QString&) override {
            throw std::runtime_error("no server");
        }
    };
    struct ReturnsNothing : automation::ApplicationFactory {
        std::unique_ptr<automation::Application> create(const QString&) override { return {}; }
    };
    FakeOutlook failing;
    failing.fail("CreateObject Outlook.Application", 429, "ActiveX component can't create object");
    ThrowsStd throwsStd;
    ReturnsNothing nothing;
    automation::ApplicationFactory* factories[] = {&failing, &throwsStd, &nothing};

    const QString expected =
        "Error 6631. A normal instance of Outlook could not be created.\r\n\r\n"
        "1. Please make sure Outlook is installed on this computer.\r\n\r\n"
        "2. Please make sure that you have properly configured Outlook such that the 'Getting "
        "Started' wizard does not show.\r\n\r\n"
        "3. Please open Outlook normally and make sure a clean inbox opens immediately without any "
        "interrupting window (popups, messages).\r\n\r\n"
        "Please email a screenshot of this message to support@talvenor.example.com if you have "
        "done all of above and are still having problems.";
    for (auto* factory : factories) {
        RecordingMessageBox messages;
        RecordingProcess process;
        bool exitedWhenShown = true;
        messages.onShow = [&](const Message&) { exitedWhenShown = process.exited; };
        EXPECT_FALSE(CheckOutlook(*factory, messages, process));
        ASSERT_EQ(messages.shown.size(), 1);
        EXPECT_EQ(messages.shown[0].text, expected);
        EXPECT_EQ(messages.shown[0].title, "Talvenor");
        EXPECT_EQ(messages.shown[0].buttons, MessageButtons::Ok);
        EXPECT_EQ(messages.shown[0].icon, MessageIcon::None);
        EXPECT_FALSE(exitedWhenShown); // the user reads it first
        EXPECT_TRUE(process.exited);
        EXPECT_NE(process.exitCode, 0);
    }
}

} // namespace
