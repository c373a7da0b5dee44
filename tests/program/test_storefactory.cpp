// The store factory the program builds its window with: while the reading helper opens a
// store, the window's event loop gets its turns.
#include "../nativestore/generatedstore.h"

#include <session.h>
#include <storefactory.h>

#include <recorders.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;

TEST(StoreFactory, TheWindowGetsItsTurnsWhileAStoreOpens) {
    QTemporaryDir dir;
    const QString store = dir.filePath(QStringLiteral("opening.pst"));
    talvenor::testing::writeLargeFolderStore(store.toStdString(), 3);
    // The helper tells the store is open only once the window has had a turn: opening can end
    // only if the yield is called while the store opens.
    const QString turned = dir.filePath(QStringLiteral("window had a turn"));
    talvenor::testing::CountingEventLoop events;
    int turnsWhileOpening = 0;
    bool opening = false;
    events.onYield = [&] {
        if (!opening)
            return;
        ++turnsWhileOpening;
        QFile(turned).open(QIODevice::WriteOnly);
    };
    const auto factory =
        makeStoreFactory(events, {QStringLiteral(TALVENOR_FAULTY_READER),
                                  {QStringLiteral("--faults=hold-opening=") + turned}});
    auto ns =
        factory->create(automation::ApplicationClass)->getNamespace(automation::MapiNamespace);
    opening = true;
    ns->addStore(QLatin1Char('"') + store + QLatin1Char('"'));
    opening = false;
    EXPECT_GE(turnsWhileOpening, 1);
    auto root = ns->lastFolder();
    EXPECT_EQ(root->folderCount(), 2);
    ns->removeStore(*root);
}

// Without its reading helper the window says so, naming the helper and why, never that the PST
// file is held by another program.
TEST(StoreFactory, AHelperThatCannotBeStartedIsToldInTheWindow) {
    QTemporaryDir dir;
    const QString store = dir.filePath(QStringLiteral("mail.pst"));
    talvenor::testing::writeLargeFolderStore(store.toStdString(), 1);
    const QString notAProgram = dir.filePath(QStringLiteral("talvenor-reader"));
    QFile(notAProgram).open(QIODevice::WriteOnly); // there, but not executable
    const struct {
        QString program;
        QString why;
    } cases[] = {{dir.filePath(QStringLiteral("missing/talvenor-reader")),
                  QStringLiteral("No such file or directory")},
                 {notAProgram, QStringLiteral("Permission denied")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program.toStdString());
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::RecordingMessageBox messages;
        talvenor::testing::RecordingPointer pointer;
        const auto factory = makeStoreFactory(events, {c.program, {}});
        ConversionSession session(*factory, messages, events, pointer);
        session.PST2MSG(store, dir.filePath(QStringLiteral("mail.msg")));
        ASSERT_EQ(messages.shown.size(), 1);
        const QString text = messages.shown[0].text;
        EXPECT_TRUE(text.startsWith(QStringLiteral("the reading helper could not be started: ") +
                                    c.program + QStringLiteral(": ") + c.why))
            << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("#0731"))) << text.toStdString();
    }
}
