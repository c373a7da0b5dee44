#include "constants.h"
#include "failure.h"
#include "fakeautomation.h"
#include "recorders.h"
#include "session.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        FakeFolder root{"Personal Folders", {}, {}};
        root.addFolder("Inbox").addItem("hello");
        outlook.stores[pst] = root;
    }
    void convert() {
        ConversionSession(outlook, box, events, pointer).PST2MSG(pst, out.path() + "/my box.msg");
    }

    const QString pst = QStringLiteral("/home/ann/Mail Archive/my box.pst");
    QTemporaryDir out;
    FakeOutlook outlook;
    RecordingMessageBox box;
    CountingEventLoop events;
    RecordingPointer pointer;
};

TEST_F(SessionTest, ConvertsAttachesQuotedAndDetachesInOrder) {
    convert();
    EXPECT_EQ(outlook.calls.first(), "CreateObject Outlook.Application");
    EXPECT_EQ(outlook.calls[1], "GetNamespace MAPI");
    EXPECT_EQ(outlook.calls[2], "AddStore \"" + pst + "\"");
    EXPECT_EQ(outlook.calls[3], "Folders.GetLast");
    const qsizetype remove = outlook.calls.indexOf("RemoveStore Personal Folders");
    ASSERT_GE(remove, 0);
    EXPECT_EQ(outlook.calls.mid(remove + 1),
              QStringList({"Release Namespace", "Release Application"}));
    EXPECT_EQ(outlook.saved, QStringList({out.path() + "/hello.msg"}));
    EXPECT_TRUE(outlook.attached.isEmpty());
    EXPECT_TRUE(box.shown.isEmpty());
    EXPECT_EQ(pointer.history.first(), PointerMode::Busy);
    EXPECT_EQ(pointer.current, PointerMode::Default);
}

// A PST file cut short or removed while it is converted: one message for it, however many of
// its items then fail; a damaged item of an intact file keeps its own report.
TEST_F(SessionTest, AFileThatBecomesUnreadableIsReportedOnce) {
    struct Case {
        const char* name;
        std::function<void(const QString&)> harm;
        int reports;
    };
    const Case cases[] = {
        {"cut short", [](const QString& p) { QFile::resize(p, 10); }, 1},
        {"removed", [](const QString& p) { QFile::remove(p); }, 1},
        {"intact", [](const QString&) {}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir in;
        const QString file = in.filePath("big.pst");
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        f.close();
        outlook = FakeOutlook();
        box = RecordingMessageBox();
        FakeFolder root{"Personal Folders", {}, {}};
        FakeFolder& inbox = root.addFolder("Inbox");
        for (int k = 1; k <= 7; ++k)
            inbox.addItem(QStringLiteral("m%1").arg(k));
        outlook.stores[file] = root;
        for (int k = 3; k <= 7; ++k)
            outlook.fail(QStringLiteral("Items.Item Personal Folders/Inbox %1").arg(k), -2147221221,
                         "The file is damaged.");
        int yields = 0;
        events.onYield = [&] {
            if (++yields == 4) // before the third item
                c.harm(file);
        };

        ConversionSession(outlook, box, events, pointer).PST2MSG(file, out.path() + "/big.msg");

        EXPECT_EQ(box.shown.size(), c.reports) << box.texts().join("|").toStdString();
        if (c.reports == 1) {
            EXPECT_TRUE(box.shown[0].text.contains("The file \"big.pst\" can no longer be read"))
                << box.shown[0].text.toStdString();
        }
        EXPECT_TRUE(outlook.attached.isEmpty());
    }
    events.onYield = nullptr;
}

TEST_F(SessionTest, ALockedFileGivesOneInUseMessage) {
    outlook.lockedPaths << pst;
    convert();
    ASSERT_EQ(box.shown.size(), 1);
    EXPECT_EQ(box.shown[0].text,
              "Error #0731: Please make sure that Your PST files are not used by another "
              "application.\r\n\r\nPlease email " +
                  SupportEmail + " with a screenshot of this message if you have any questions.");
    EXPECT_EQ(box.shown[0].title, "Talvenor");
    EXPECT_EQ(box.shown[0].icon, MessageIcon::None);
    EXPECT_TRUE(outlook.attached.isEmpty());
    EXPECT_TRUE(outlook.saved.isEmpty());
    EXPECT_EQ(pointer.current, PointerMode::Default);
}

TEST_F(SessionTest, FailuresAreShownAndTheStoreIsNeverLeftAttached) {
    struct Case {
        const char* name;
        QString call;
        Cause cause;
        std::int32_t number;
        bool inUseMessage;
        int step; // of the report, when not the in-use message
    };
    // The cause decides, never the number: a helper that failed shares the in-use number.
    const Case cases[] = {
        {"in use", "AddStore \"" + pst + "\"", Cause::InUse, failures::InUse, true, 0},
        {"the in-use number without its cause", "AddStore \"" + pst + "\"", Cause::ReaderFailed,
         failures::InUse, false, 106},
        {"the in-use number, positive sign", "AddStore \"" + pst + "\"", Cause::Other, 2147467259,
         false, 106},
        {"the reading helper could not be started", "CreateObject Outlook.Application",
         Cause::ReaderNotStarted, failures::InUse, false, 102},
        {"cannot create", "CreateObject Outlook.Application", Cause::Other, 429, false, 102},
        {"no namespace", "GetNamespace MAPI", Cause::Other, 91, false, 104},
        {"no root folder", "Folders.GetLast", Cause::Damaged, -2147221233, false, 108},
        {"detach fails", "RemoveStore Personal Folders", Cause::Other, -2147221241, false, 112},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        outlook = FakeOutlook();
        FakeFolder root{"Personal Folders", {}, {}};
        outlook.stores[pst] = root;
        box = RecordingMessageBox();
        pointer = RecordingPointer();
        outlook.fail(c.call, c.cause, c.number, "It failed.", 1);

        convert();

        ASSERT_EQ(box.shown.size(), 1);
        if (c.inUseMessage) {
            EXPECT_TRUE(box.shown[0].text.startsWith("Error #0731"));
        } else {
            EXPECT_EQ(box.shown[0].text,
                      QStringLiteral("It failed.\r\nin Hollisk2021/08/31.Form1.PST2MSG at line %1"
                                     "\r\rPlease email screenshot of this message to ")
                              .arg(c.step) +
                          SupportEmail);
        }
        EXPECT_TRUE(outlook.attached.isEmpty());
        EXPECT_EQ(pointer.current, PointerMode::Default);
    }
}

} // namespace
