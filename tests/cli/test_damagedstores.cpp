// talvenor-convert over a seeded corpus of damaged copies of one 200-message store, beside
// libpst's readpst -m on the same files: on every file it writes at least as many messages,
// and whatever it does not write it reports. Mail never goes missing without a word.
#include "damagedcorpus.h"
#include "generatedstore.h"
#include "outsideprograms.h"

#include <pststore.h>
#include <pstwriter.h>

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const QString Program = QStringLiteral(TALVENOR_CONVERT);

long countMsgFiles(const QString& dir) {
    long n = 0;
    QDirIterator it(dir, {QStringLiteral("*.msg")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

struct Converted {
    int exitCode = -1;
    QJsonObject summary;
    QStringList reports; // the lines of standard error
};

} // namespace

TEST(DamagedStores, EveryFileGivesAtLeastReadpstsMessagesAndReportsTheRest) {
    TALVENOR_NEEDS_OUTSIDE(talvenor::testing::Outside::Readpst);
    const QString readpst = talvenor::testing::programFor(talvenor::testing::Outside::Readpst);
    const auto corpus = talvenor::testing::makeDamagedCorpus();
    ASSERT_GE(corpus.cases.size(), 40u);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    std::printf("%-24s %7s %8s %7s %8s\n", "case", "written", "reported", "reports", "readpst");
    int index = 0;
    for (const auto& c : corpus.cases) {
        const QString file = dir.filePath(QStringLiteral("case%1.pst").arg(index));
        const QString ours = dir.filePath(QStringLiteral("ours%1").arg(index));
        const QString theirs = dir.filePath(QStringLiteral("readpst%1").arg(index++));
        talvenor::testing::writeBytes(file.toStdString(), c.bytes);
        ASSERT_TRUE(QDir().mkpath(ours) && QDir().mkpath(theirs));

        // Both work on the file at the same time.
        QProcess peer;
        peer.start(readpst, {QStringLiteral("-m"), QStringLiteral("-q"), QStringLiteral("-o"),
                             theirs, file});
        QProcess convert;
        convert.start(Program, {QStringLiteral("--json"), QStringLiteral("-o"), ours, file});
        ASSERT_TRUE(convert.waitForFinished(300000)) << c.name << ": talvenor-convert hangs";
        ASSERT_TRUE(peer.waitForFinished(300000)) << c.name << ": readpst hangs";
        ASSERT_EQ(convert.exitStatus(), QProcess::NormalExit) << c.name << ": it crashed";
        Converted r;
        r.exitCode = convert.exitCode();
        const QString err = QString::fromUtf8(convert.readAllStandardError());
        r.summary = QJsonDocument::fromJson(convert.readAllStandardOutput()).object();
        const long written = countMsgFiles(ours);
        const long peerWritten = countMsgFiles(theirs);
        const int reported = r.summary.value(QStringLiteral("reported")).toInt();
        const int reports = r.summary.value(QStringLiteral("reports")).toInt();
        std::printf("%-24s %7ld %8d %7d %8ld  %s\n", c.name.c_str(), written, reported, reports,
                    peerWritten, c.what.c_str());
        if (c.name == "message-overwrite") // what a user reads of a message saved in part
            std::printf("    %s\n", qPrintable(err.trimmed()));

        EXPECT_EQ(written, r.summary.value(QStringLiteral("written")).toInt()) << c.name;
        EXPECT_GE(written, peerWritten) << c.name << " (" << c.what << "): " << err.toStdString();
        EXPECT_LE(written, long(corpus.messages)) << c.name;
        // Every message not written is reported: one by one, or for its folder or its file.
        if (written + reported < long(corpus.messages)) {
            EXPECT_GT(reports, reported) << c.name << ": mail is missing without a report";
        }
        // Exit status 1 says that something was reported.
        EXPECT_EQ(r.exitCode, reports > 0 ? 1 : 0) << c.name;
        QDir(ours).removeRecursively();
        QDir(theirs).removeRecursively();
        QFile::remove(file);
    }
}

// A folder that counts three messages more than can be found anywhere in the store: all that
// is there is written, and the missing ones are one report naming the folder.
TEST(DamagedStores, MessagesAFolderCountsButNothingHoldsAreReportedOnce) {
    auto corpus = talvenor::testing::makeDamagedCorpus();
    const auto store = talvenor::pst::Store::openMemory(corpus.intact);
    std::uint32_t folder = 0;
    std::size_t most = 0;
    std::vector<std::uint32_t> pending{*store.ipmSubtree()};
    while (!pending.empty()) {
        const std::uint32_t f = pending.back();
        pending.pop_back();
        if (const std::size_t n = store.messages(f).size(); n > most) {
            most = n;
            folder = f;
        }
        for (const std::uint32_t sub : store.subfolders(f))
            pending.push_back(sub);
    }
    ASSERT_GT(most, 0u);
    const QString name = QString::fromStdU16String(store.folder(folder).name);
    talvenor::testing::raiseContentCount(corpus.intact, folder, std::uint32_t(most), 3);

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("overcounted.pst"));
    talvenor::testing::writeBytes(file.toStdString(), corpus.intact);
    QProcess convert;
    convert.start(Program, {QStringLiteral("--json"), QStringLiteral("-o"), dir.path(), file});
    ASSERT_TRUE(convert.waitForFinished(300000));
    const QJsonObject summary = QJsonDocument::fromJson(convert.readAllStandardOutput()).object();
    const QString err = QString::fromUtf8(convert.readAllStandardError());
    EXPECT_EQ(summary.value(QStringLiteral("written")).toInt(), int(corpus.messages));
    EXPECT_EQ(summary.value(QStringLiteral("reports")).toInt(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("3 more items")) &&
                err.contains(QStringLiteral("\"%1\"").arg(name)))
        << err.toStdString();
    EXPECT_EQ(convert.exitCode(), 1);
}

// A store whose map of named properties is damaged: every message is written, and the one
// report says that their named properties are left out.
TEST(DamagedStores, NamedPropertiesLostToADamagedMapAreToldOnce) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("names.pst"));
    {
        talvenor::pstwriter::Writer writer(file.toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox");
        for (int i = 0; i < 3; ++i)
            writer.addMessage(inbox, talvenor::testing::richMessage());
        writer.finish();
    }
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray read = f.readAll();
    f.close();
    std::vector<std::uint8_t> bytes(read.begin(), read.end());
    const auto map = talvenor::testing::firstHeapBlock(bytes, talvenor::pst::kNidNameMap);
    std::fill_n(bytes.begin() + std::ptrdiff_t(map.start), map.size, std::uint8_t(0));
    talvenor::testing::writeBytes(file.toStdString(), bytes);

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    QProcess convert;
    convert.start(Program, {QStringLiteral("--json"), QStringLiteral("-o"), out, file});
    ASSERT_TRUE(convert.waitForFinished(300000));
    const QJsonObject summary = QJsonDocument::fromJson(convert.readAllStandardOutput()).object();
    const QString err = QString::fromUtf8(convert.readAllStandardError());
    EXPECT_EQ(countMsgFiles(out), 3);
    EXPECT_EQ(summary.value(QStringLiteral("reports")).toInt(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("named properties"))) << err.toStdString();
}

// An item whose own properties are damaged cannot prove that it is not mail: it is reported,
// and the mail beside it is written.
TEST(DamagedStores, AnItemWithDamagedPropertiesIsReportedWhateverItsClass) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("contact.pst"));
    {
        talvenor::pstwriter::Writer writer(file.toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox");
        writer.addMessage(inbox, talvenor::testing::simpleMessage("IPM.Contact", u"Ann"));
        writer.addMessage(inbox, talvenor::testing::simpleMessage("IPM.Note", u"Hello"));
        writer.finish();
    }
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray read = f.readAll();
    f.close();
    std::vector<std::uint8_t> bytes(read.begin(), read.end());
    std::uint32_t contact = 0;
    {
        const auto store = talvenor::pst::Store::openMemory(bytes);
        std::vector<std::uint32_t> pending{*store.ipmSubtree()};
        while (!pending.empty() && contact == 0) {
            const std::uint32_t folder = pending.back();
            pending.pop_back();
            for (const std::uint32_t m : store.messages(folder)) {
                const talvenor::mapi::Message message = store.message(m);
                const auto* c = message.find(talvenor::mapi::tags::MessageClass);
                if (c && talvenor::pst::propertyText(*c) == u"IPM.Contact")
                    contact = m;
            }
            for (const std::uint32_t sub : store.subfolders(folder))
                pending.push_back(sub);
        }
    }
    ASSERT_NE(contact, 0u);
    const auto block = talvenor::testing::firstHeapBlock(bytes, contact);
    bytes[block.start + block.size / 2] ^= 0x5A; // its checksum no longer matches
    talvenor::testing::writeBytes(file.toStdString(), bytes);

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    QProcess convert;
    convert.start(Program, {QStringLiteral("--json"), QStringLiteral("-o"), out, file});
    ASSERT_TRUE(convert.waitForFinished(300000));
    const QJsonObject summary = QJsonDocument::fromJson(convert.readAllStandardOutput()).object();
    const QString err = QString::fromUtf8(convert.readAllStandardError());
    EXPECT_EQ(countMsgFiles(out), 1);
    EXPECT_EQ(summary.value(QStringLiteral("reported")).toInt(), 1) << err.toStdString();
}
