// The whole road: a generated PST converted by the session through the native store and the
// message-file writer; every file read back holds exactly the message of the store.
#include "generatedstore.h"
#include "msgfile.h"
#include "msgreader.h"
#include "rawfile.h"
#include "realworld.h"
#include "samples.h"
#include "wholemessage.h"

#include <description.h>
#include <failure.h>
#include <generate.h>
#include <nativestore.h>
#include <recorders.h>
#include <session.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <toolrun.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace talvenor;
using namespace msgtest;

namespace {

// The store-support mask of the top-level message is the file's own, not the store's.
const std::set<std::uint32_t> AddedByWriter = {0x340D0003};

void mailOf(automation::Folder& folder, const talvenor::testing::WholeMessages& whole,
            std::multiset<std::string>& out) {
    auto items = folder.items();
    for (int j = 1; j <= items->count(); ++j) {
        auto item = items->item(j);
        if (item->itemClass() == 43)
            out.insert(canonical(asWritten(whole.of(*item)), AddedByWriter));
    }
    for (int i = 1; i <= folder.folderCount(); ++i)
        mailOf(*folder.folder(i), whole, out);
}

// Both independent readers open a converted file: olefile without any defect, msgconvert
// into MIME with the subject.
void expectPeersOpen(const QString& path) {
    QString python = QStandardPaths::findExecutable("python3", {"/usr/bin", "/bin"});
    if (python.isEmpty())
        python = QStandardPaths::findExecutable("python3");
    ASSERT_FALSE(python.isEmpty()) << "python3 (python3-olefile) is missing";
    const QString msgconvert = QStandardPaths::findExecutable("msgconvert");
    ASSERT_FALSE(msgconvert.isEmpty()) << "msgconvert (libemail-outlook-message-perl) is missing";
    const auto ole = talvenor::testing::runTool(
        python,
        {"-c",
         "import sys, olefile\n"
         "o = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)\n"
         "assert o.exists('__properties_version1.0')\n",
         path},
        120000);
    EXPECT_EQ(ole.exitCode, 0) << path.toStdString() << ": " << ole.err.toStdString();
    const auto mime = talvenor::testing::runTool(msgconvert, {"--outfile", "-", path}, 120000);
    EXPECT_EQ(mime.exitCode, 0) << path.toStdString() << ": " << mime.err.toStdString();
    EXPECT_TRUE(mime.out.contains("Subject:")) << path.toStdString();
}

// Converts the PST file into the folder out through the session; the messages it showed.
QStringList convert(const QString& pst, const QString& out,
                    const nativestore::StoreOptions& options) {
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    nativestore::NativeApplicationFactory factory(options);
    ConversionSession(factory, messages, events, pointer).PST2MSG(pst, out + "/x.msg");
    return messages.texts();
}

std::size_t mailCount(const talvenor::testing::ExpectedFolder& f) {
    std::size_t n = 0;
    for (const auto& item : f.items)
        n += item.itemClass == 43;
    for (const auto& sub : f.folders)
        n += mailCount(sub);
    return n;
}

// Converts the store into out (emptied first) and checks that the files hold exactly the
// store's mail as this process reads it, each message whole. Returns the files' names.
QStringList expectFilesHoldTheStoresMail(const QString& store, const QString& out) {
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& m, const QString& path) { msg::writeMsg(m, path); };
    const QStringList shown = convert(store, out, options);
    EXPECT_TRUE(shown.isEmpty()) << shown.join("|").toStdString();

    // The messages as this process reads them from the store itself.
    std::multiset<std::string> inStore;
    {
        nativestore::StoreOptions here;
        here.containment = nativestore::Containment::None;
        const talvenor::testing::WholeMessages whole;
        nativestore::NativeApplicationFactory factory(whole.options(here));
        auto app = factory.create(automation::ApplicationClass);
        auto ns = app->getNamespace(automation::MapiNamespace);
        ns->addStore('"' + store + '"');
        auto root = ns->lastFolder();
        mailOf(*root, whole, inStore);
        ns->removeStore(*root);
    }
    std::multiset<std::string> inFiles;
    const QStringList files = QDir(out).entryList(QDir::Files | QDir::Hidden);
    for (const QString& f : files) {
        EXPECT_TRUE(f.endsWith(".msg")) << f.toStdString();
        inFiles.insert(canonical(msg::readMsg(QDir(out).filePath(f)), AddedByWriter));
    }
    EXPECT_EQ(inFiles.size(), inStore.size());
    // Compared as sets of whole messages: every file is one of the store's mails, complete.
    std::vector<std::string> missing, extra;
    std::set_difference(inStore.begin(), inStore.end(), inFiles.begin(), inFiles.end(),
                        std::back_inserter(missing));
    std::set_difference(inFiles.begin(), inFiles.end(), inStore.begin(), inStore.end(),
                        std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << "in the store only:\n"
                                 << (missing.empty() ? "" : missing[0]) << "\nin the files only:\n"
                                 << (extra.empty() ? "" : extra[0]);
    return files;
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
    const QString ost = dir.filePath("mailbox.ost");
    const auto expectedOst = talvenor::testing::writeOfflineStore(ost.toStdString());
    const QString out = dir.filePath("out");

    for (const QString& store : {pst, dir.filePath("rich.pst"), ost}) {
        SCOPED_TRACE(store.toStdString());
        const QStringList files = expectFilesHoldTheStoresMail(store, out);
        ASSERT_FALSE(files.isEmpty());
        if (store == pst) {
            EXPECT_EQ(std::size_t(files.size()), mailCount(expected));
        }
        if (store == ost) {
            // Exactly its mail: not the appointments and meeting requests of its calendar.
            EXPECT_EQ(std::size_t(files.size()), mailCount(expectedOst));
            for (const QString& f : files)
                expectPeersOpen(QDir(out).filePath(f));
        }
    }
}

// The mail program's own stores (../shared/realworld): every mail item becomes a file holding
// the message whole, and both peers open it. That our reader sees these messages as libpff
// does is test_pst_compare's part; that none is missed, test_nativestore_everyitem's.
TEST(MsgConversion, EveryMailOfARealStoreBecomesAFileWithAllItsProperties) {
    QStringList stores;
    if (!talvenor::testing::findRealWorldStores(stores))
        GTEST_SKIP();
    QTemporaryDir dir;
    const QString out = dir.filePath("out");
    int written = 0;
    for (const QString& store : stores) {
        SCOPED_TRACE(store.toStdString());
        const QStringList files = expectFilesHoldTheStoresMail(store, out);
        for (const QString& f : files)
            expectPeersOpen(QDir(out).filePath(f));
        written += int(files.size());
    }
    EXPECT_GT(written, 0);
}

// Each stream of a compound file, by path, with its bytes in hex, as olefile reads it.
QString oleStreams(const QString& file, const QString& storage) {
    QString python = QStandardPaths::findExecutable("python3", {"/usr/bin", "/bin"});
    if (python.isEmpty())
        python = QStandardPaths::findExecutable("python3");
    const auto r = talvenor::testing::runTool(
        python,
        {"-c",
         "import sys, olefile\n"
         "o = olefile.OleFileIO(sys.argv[1])\n"
         "base = [p for p in sys.argv[2].split('/') if p]\n"
         "for e in sorted(o.listdir(streams=True, storages=False)):\n"
         "    if e[:len(base)] == base:\n"
         "        print('/'.join(e[len(base):]), o.openstream(e).read().hex())\n"
         "print('clsid', o.getclsid(base) if base else o.root.clsid)\n",
         file, storage},
        120000);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return r.out;
}

class OleObjects : public ::testing::TestWithParam<pstwriter::Format> {};

// An OLE object stored as the mail program stores it (attach method 6, the compound file in a
// sub-node the attachment refers to) becomes the attachment's __substg1.0_3701000D storage,
// every stream byte for byte.
TEST_P(OleObjects, AnOleObjectBecomesItsOwnStorageByteForByte) {
    QTemporaryDir dir;
    const QString store = dir.filePath("ole.pst");
    mapi::Message m = plainMessage(u"Picture inside");
    m.attachments.push_back(oleAttachment());
    {
        pstwriter::Options options;
        options.format = GetParam();
        pstwriter::Writer writer(store.toStdString(), options);
        writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"), m);
        writer.finish();
    }
    const QString out = dir.filePath("out");
    QDir().mkpath(out);
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& message, const QString& path) {
        msg::writeMsg(message, path);
    };
    const QStringList shown = convert(store, out, options);
    EXPECT_TRUE(shown.isEmpty()) << shown.join("|").toStdString();
    const QStringList files = QDir(out).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const QString file = QDir(out).filePath(files[0]);

    const QString image = dir.filePath("object.bin");
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const Bytes bytes = oleObjectImage();
        f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    }
    const QString expected = oleStreams(image, "");
    ASSERT_TRUE(expected.contains("CONTENTS ")) << expected.toStdString();
    EXPECT_EQ(oleStreams(file, "__attach_version1.0_#00000000/__substg1.0_3701000D"), expected);

    const mapi::Message read = msg::readMsg(file);
    ASSERT_EQ(read.attachments.size(), 1u);
    EXPECT_EQ(read.attachments[0].int32(mapi::tags::AttachMethod), 6);
}

INSTANTIATE_TEST_SUITE_P(Formats, OleObjects,
                         ::testing::Values(pstwriter::Format::Unicode, pstwriter::Format::Ost4k),
                         [](const auto& info) {
                             return info.param == pstwriter::Format::Unicode ? "Unicode" : "Ost4k";
                         });

// A mail as an ANSI store holds it: 8-bit strings only, a recipient, an attachment and an
// attached message.
mapi::Message eightBitMail() {
    mapi::Message m;
    m.setString8(mapi::tags::MessageClass, "IPM.Note");
    m.setString8(mapi::tags::Subject, "Gr\xfc\xdf"
                                      "e aus dem Archiv");
    m.setString8(mapi::tags::Body, "8-bit body");
    m.setTime(mapi::tags::MessageDeliveryTime, 133000000000000000ULL);
    mapi::Recipient r;
    r.setString8(mapi::tags::DisplayName, "Bob");
    r.setString8(mapi::tags::AddressType, "SMTP");
    r.setString8(mapi::tags::EmailAddress, "bob@example.org");
    r.setInt32(mapi::tags::RecipientType, 1);
    m.recipients.push_back(r);
    mapi::Attachment a;
    a.setInt32(mapi::tags::AttachMethod, mapi::AttachByValue);
    a.setString8(mapi::tags::AttachLongFilename, "a.txt");
    a.setBinary(mapi::tags::AttachDataBinary, {'a'});
    m.attachments.push_back(a);
    mapi::Attachment e;
    e.setInt32(mapi::tags::AttachMethod, mapi::AttachEmbeddedMsg);
    e.embedded = std::make_shared<mapi::Message>();
    e.embedded->setString8(mapi::tags::MessageClass, "IPM.Note");
    e.embedded->setString8(mapi::tags::Subject, "inner");
    e.embedded->recipients.push_back(r);
    m.attachments.push_back(e);
    return m;
}

// Files converted from a store are structured as the mail program writes them, and claim
// Unicode strings exactly when the store's message has them.
TEST(MsgConversion, ConvertedFilesAreStructuredAsTheMailProgramWritesThem) {
    struct Row {
        const char* name;
        pstwriter::Format format;
        mapi::Message mail;
        bool unicode;
    };
    const Row rows[] = {
        {"unicode", pstwriter::Format::Unicode, talvenor::testing::richMessage(), true},
        {"ansi", pstwriter::Format::Ansi, eightBitMail(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString pst = dir.filePath(QStringLiteral("%1.pst").arg(row.name));
        {
            pstwriter::Options o;
            o.format = row.format;
            pstwriter::Writer writer(pst.toStdString(), o);
            writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"), row.mail);
            writer.finish();
        }
        const QString out = dir.filePath("out");
        QDir().mkpath(out);
        // The writer of the program: folders opened once, synced as the store is detached.
        auto files = std::make_shared<msg::MessageFiles>();
        nativestore::StoreOptions options;
        options.writer = [files](const mapi::Message& m, const QString& path) {
            files->save(m, path);
        };
        int detached = 0;
        options.storeDetached = [&] {
            ++detached;
            files->sync();
        };
        const QStringList shown = convert(pst, out, options);
        EXPECT_TRUE(shown.isEmpty()) << shown.join("|").toStdString();
        EXPECT_EQ(detached, 1);
        const QStringList converted = QDir(out).entryList(QDir::Files | QDir::Hidden);
        ASSERT_EQ(converted.size(), 1) << converted.join(",").toStdString();
        const QString path = QDir(out).filePath(converted[0]);
        const auto faults = msgtest::structureFaults(path, row.unicode);
        EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
        const mapi::Message back = msg::readMsg(path);
        EXPECT_EQ(back.find(mapi::tags::Subject)->type,
                  row.unicode ? mapi::PtUnicode : mapi::PtString8);
    }
}

// The disk reporting a failed write when a store's files are synced is the user's to know;
// the files stay and the run goes on.
TEST(MsgConversion, AFailedSyncAtTheEndOfAStoreIsReported) {
    QTemporaryDir dir;
    const QString pst = dir.filePath("one.pst");
    {
        pstwriter::Writer writer(pst.toStdString());
        writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"),
                          talvenor::testing::richMessage());
        writer.finish();
    }
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& m, const QString& path) { msg::writeMsg(m, path); };
    options.storeDetached = [] {
        throw Failure(failures::FileAccess,
                      QStringLiteral("The messages saved in \"out\" may "
                                     "not have reached the disk: I/O error."));
    };
    const QStringList shown = convert(pst, dir.path(), options);
    ASSERT_EQ(shown.size(), 1) << shown.join("|").toStdString();
    EXPECT_TRUE(shown[0].contains("may not have reached the disk")) << shown[0].toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList({"*.msg"}, QDir::Files).size(), 1);
}

// Converts a store into out; each file's name with its message, as canonical text.
std::map<QString, std::string> convertedFiles(const QString& store, const QString& out) {
    QDir().mkpath(out);
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& m, const QString& path) { msg::writeMsg(m, path); };
    const QStringList shown = convert(store, out, options);
    EXPECT_TRUE(shown.isEmpty()) << shown.join("|").toStdString();
    std::map<QString, std::string> files;
    for (const QString& f : QDir(out).entryList(QDir::Files | QDir::Hidden)) {
        files[f] = canonical(msg::readMsg(QDir(out).filePath(f)), AddedByWriter);
    }
    return files;
}

std::vector<QString> namesOf(const std::map<QString, std::string>& files) {
    std::vector<QString> names;
    for (const auto& [name, text] : files)
        names.push_back(name);
    return names;
}

// Strings of every kind a converted file carries: Unicode and 8-bit, multi-valued, named, in
// recipients, attachments and an attached message.
pstwriter::StoreDescription describedStore() {
    pstwriter::StoreDescription d;
    pstwriter::FolderDescription inbox;
    inbox.name = u"Inbox";
    inbox.special = pstwriter::SpecialFolder::Inbox;
    inbox.messages = {talvenor::testing::richMessage(), eightBitMail()};
    pstwriter::FolderDescription bills;
    bills.name = u"Rechnungen März";
    bills.messages.push_back(talvenor::testing::simpleMessage("IPM.Note", u"Rechnung März"));
    inbox.folders.push_back(std::move(bills));
    d.folders.push_back(std::move(inbox));
    return d;
}

// A store whose writer stores every string with its terminator converts exactly as the same
// store without them: the same files under the same names.
TEST(MsgConversion, StringsStoredWithTerminatorsConvertAsWithout) {
    struct Row {
        const char* name;
        pstwriter::Format format;
        bool generated;
    };
    const Row rows[] = {{"generated unicode", pstwriter::Format::Unicode, true},
                        {"generated ansi", pstwriter::Format::Ansi, true},
                        {"described unicode", pstwriter::Format::Unicode, false},
                        {"described ansi", pstwriter::Format::Ansi, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        std::map<QString, std::string> converted[2];
        for (const bool terminators : {false, true}) {
            const QString name = terminators ? QStringLiteral("with") : QStringLiteral("without");
            const std::string pst = dir.filePath(name + ".pst").toStdString();
            pstwriter::Options o;
            o.format = row.format;
            o.terminators = terminators;
            if (row.generated) {
                pstwriter::generateStore(pst, 24, o, 5);
            } else {
                pstwriter::StoreDescription d = describedStore();
                d.options = o;
                pstwriter::writePst(d, pst);
            }
            converted[terminators] =
                convertedFiles(QString::fromStdString(pst), dir.filePath(name));
        }
        ASSERT_GE(converted[0].size(), 3u);
        ASSERT_EQ(namesOf(converted[1]), namesOf(converted[0]));
        for (const auto& [name, text] : converted[0])
            EXPECT_EQ(converted[1][name], text) << name.toStdString();
    }
}

// Stores as other writers leave them, each converted whole: every mail becomes its file.
TEST(MsgConversion, StoresAsOtherWritersLeaveThemConvertEveryMail) {
    for (const auto& store : talvenor::testing::quirkStores()) {
        SCOPED_TRACE(store.name);
        QTemporaryDir dir;
        const QString pst = dir.filePath("store.pst");
        pstwriter::writePst(store.description, pst.toStdString());
        QStringList names;
        for (const auto& [name, text] : convertedFiles(pst, dir.filePath("out")))
            names << name;
        QStringList expected;
        for (const QString& name : talvenor::testing::mailFileNames(store.expected))
            expected << name + ".msg"; // the top folder's own mail too
        expected.sort();
        names.sort();
        EXPECT_EQ(names, expected);
    }
}

} // namespace
