// The whole road: a generated PST converted by the session through the native store and the
// message-file writer; every file read back holds exactly the message of the store.
#include "generatedstore.h"
#include "msgfile.h"
#include "samples.h"

#include <nativestore.h>
#include <recorders.h>
#include <session.h>

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace msgtest;

namespace {

// The store-support mask is the writer's own addition to the top-level message.
const std::set<std::uint32_t> AddedByWriter = {0x340D0003};

void mailOf(automation::Folder& folder, std::multiset<std::string>& out) {
    auto items = folder.items();
    for (int j = 1; j <= items->count(); ++j) {
        auto item = items->item(j);
        if (item->itemClass() == 43)
            out.insert(canonical(nativestore::readMessage(*item), AddedByWriter));
    }
    for (int i = 1; i <= folder.folderCount(); ++i)
        mailOf(*folder.folder(i), out);
}

std::size_t mailCount(const talvenor::testing::ExpectedFolder& f) {
    std::size_t n = 0;
    for (const auto& item : f.items)
        n += item.itemClass == 43;
    for (const auto& sub : f.folders)
        n += mailCount(sub);
    return n;
}

TEST(MsgConversion, EveryMailOfAGeneratedStoreBecomesAFileWithAllItsProperties) {
    QTemporaryDir dir;
    const QString pst = dir.filePath("tree.pst");
    const auto expected =
        talvenor::testing::writeTreeStore(pst.toStdString(), pstwriter::Format::Unicode);
    {
        pstwriter::Writer writer(dir.filePath("rich.pst").toStdString());
        writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"),
                          talvenor::testing::richMessage());
        writer.finish();
    }
    const QString out = dir.filePath("out");
    QDir().mkpath(out);

    for (const QString& store : {pst, dir.filePath("rich.pst")}) {
        SCOPED_TRACE(store.toStdString());
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        nativestore::StoreOptions options;
        options.writer = [](const mapi::Message& m, const QString& path) {
            msg::writeMsg(m, path);
        };
        talvenor::testing::RecordingMessageBox messages;
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::RecordingPointer pointer;
        {
            nativestore::NativeApplicationFactory factory(options);
            ConversionSession(factory, messages, events, pointer).PST2MSG(store, out + "/x.msg");
        }
        EXPECT_TRUE(messages.shown.isEmpty()) << messages.texts().join("|").toStdString();

        // The messages as this process reads them from the store itself.
        std::multiset<std::string> inStore;
        {
            nativestore::StoreOptions here;
            here.containment = nativestore::Containment::None;
            nativestore::NativeApplicationFactory factory(here);
            auto app = factory.create(automation::ApplicationClass);
            auto ns = app->getNamespace(automation::MapiNamespace);
            ns->addStore('"' + store + '"');
            auto root = ns->lastFolder();
            mailOf(*root, inStore);
            ns->removeStore(*root);
        }
        std::multiset<std::string> inFiles;
        const QStringList files = QDir(out).entryList(QDir::Files | QDir::Hidden);
        for (const QString& f : files) {
            EXPECT_TRUE(f.endsWith(".msg")) << f.toStdString();
            inFiles.insert(canonical(msg::readMsg(QDir(out).filePath(f)), AddedByWriter));
        }
        ASSERT_FALSE(inStore.empty());
        if (store == pst) {
            EXPECT_EQ(std::size_t(files.size()), mailCount(expected));
        }
        EXPECT_EQ(inFiles.size(), inStore.size());
        // Compared as sets of whole messages: every file is one of the store's mails, complete.
        std::vector<std::string> missing, extra;
        std::set_difference(inStore.begin(), inStore.end(), inFiles.begin(), inFiles.end(),
                            std::back_inserter(missing));
        std::set_difference(inFiles.begin(), inFiles.end(), inStore.begin(), inStore.end(),
                            std::back_inserter(extra));
        EXPECT_TRUE(missing.empty())
            << "in the store only:\n"
            << (missing.empty() ? "" : missing[0]) << "\nin the files only:\n"
            << (extra.empty() ? "" : extra[0]);
    }
}

} // namespace
