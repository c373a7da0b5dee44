// The store factory the program builds its window with: while the reading helper opens a
// store, the window's event loop gets its turns.
#include "../nativestore/generatedstore.h"

#include <storefactory.h>

#include <recorders.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

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
