// talvenor-convert over a seeded corpus of damaged copies of one 200-message store, beside
// libpst's readpst -m and libpff's pffexport on the same files: on every file it writes at
// least as many messages as either, and whatever it does not write it reports. Mail never goes
// missing without a word.
#include "conversionrun.h"
#include "damagedcorpus.h"
#include "generatedstore.h"
#include "outcometext.h"
#include "outsideprograms.h"
#include "recorders.h"
#include "runfakes.h"
#include "session.h"
#include "storefactory.h"
#include "stringlist.h"

#include <pststore.h>
#include <pstwriter.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace {

const QString Program = QStringLiteral(TALVENOR_CONVERT);

// The mail items pffexport wrote: a folder per item, attached messages inside their
// message's folder.
long countPffexportMessages(const QString& dir) {
    long n = 0;
    QDirIterator it(dir, {QStringLiteral("Message*")}, QDir::Dirs, QDirIterator::Subdirectories);
    while (it.hasNext())
        n += it.next().contains(QStringLiteral("/Attachments/")) ? 0 : 1;
    return n;
}

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
    QString err; // the reports, as the user reads them

    int count(const char* key) const { return summary.value(QLatin1String(key)).toInt(); }
};

void startConverting(QProcess& convert, const QString& file, const QString& out) {
    convert.start(Program, {QStringLiteral("--json"), QStringLiteral("-o"), out, file});
}

Converted finished(QProcess& convert) {
    Converted r;
    if (!convert.waitForFinished(300000)) {
        ADD_FAILURE() << "talvenor-convert hangs";
        convert.kill();
        convert.waitForFinished();
    }
    EXPECT_EQ(convert.exitStatus(), QProcess::NormalExit) << "talvenor-convert crashed";
    r.exitCode = convert.exitCode();
    r.summary = QJsonDocument::fromJson(convert.readAllStandardOutput()).object();
    r.err = QString::fromUtf8(convert.readAllStandardError());
    return r;
}

Converted convert(const QString& file, const QString& out) {
    QProcess process;
    startConverting(process, file, out);
    return finished(process);
}

std::vector<std::uint8_t> readBytes(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray read = f.readAll();
    return {read.begin(), read.end()};
}

// Every folder below the top of the mail folders, each once.
template <typename Visit> void forEachFolder(const talvenor::pst::Store& store, Visit visit) {
    std::vector<std::uint32_t> pending{*store.ipmSubtree()};
    while (!pending.empty()) {
        const std::uint32_t folder = pending.back();
        pending.pop_back();
        visit(folder);
        for (const std::uint32_t sub : store.subfolders(folder))
            pending.push_back(sub);
    }
}

} // namespace

TEST(DamagedStores, EveryFileGivesAtLeastReadpstsMessagesAndReportsTheRest) {
    TALVENOR_NEEDS_OUTSIDE(talvenor::testing::Outside::Readpst);
    TALVENOR_NEEDS_OUTSIDE(talvenor::testing::Outside::Pffexport);
    const bool peers = talvenor::testing::comparesWithPeers();
    const QString readpst = talvenor::testing::programFor(talvenor::testing::Outside::Readpst);
    const QString pffexport = talvenor::testing::programFor(talvenor::testing::Outside::Pffexport);
    const auto corpus = talvenor::testing::makeDamagedCorpus();
    ASSERT_GE(corpus.cases.size(), 40u);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    std::printf("%-24s %7s %8s %7s %9s %8s %7s\n", "case", "written", "reported", "reports",
                "recovered", "readpst", "libpff");
    long ourTotal = 0, readpsts = 0, libpffs = 0;
    int index = 0;
    for (const auto& c : corpus.cases) {
        const QString file = dir.filePath(QStringLiteral("case%1.pst").arg(index));
        const QString ours = dir.filePath(QStringLiteral("ours%1").arg(index));
        const QString theirs = dir.filePath(QStringLiteral("readpst%1").arg(index));
        const QString pff = dir.filePath(QStringLiteral("pffexport%1").arg(index++));
        talvenor::testing::writeBytes(file.toStdString(), c.bytes);
        ASSERT_TRUE(QDir().mkpath(ours) && QDir().mkpath(theirs));

        // All three work on the file at the same time.
        QProcess peer;
        QProcess libpff;
        if (peers) {
            peer.start(readpst, {QStringLiteral("-m"), QStringLiteral("-q"), QStringLiteral("-o"),
                                 theirs, file});
            libpff.start(pffexport, {QStringLiteral("-q"), QStringLiteral("-t"), pff, file});
        }
        QProcess process;
        startConverting(process, file, ours);
        const Converted r = [&] {
            SCOPED_TRACE(c.name);
            return finished(process);
        }();
        if (peers) {
            ASSERT_TRUE(peer.waitForFinished(300000)) << c.name << ": readpst hangs";
            // Where libpff cannot read the file it is no oracle; where it can, we find as much.
            if (!libpff.waitForFinished(300000))
                libpff.kill();
        }
        const long libpffWritten = countPffexportMessages(pff + QStringLiteral(".export"));
        const QString& err = r.err;
        const long written = countMsgFiles(ours);
        const long peerWritten = countMsgFiles(theirs);
        const int reported = r.count("reported");
        const int reports = r.count("reports");
        std::printf("%-24s %7ld %8d %7d %9d %8ld %7ld  %s\n", c.name.c_str(), written, reported,
                    reports, r.count("recovered"), peerWritten, libpffWritten, c.what.c_str());
        ourTotal += written;
        readpsts += peerWritten;
        libpffs += libpffWritten;
        if (c.name == "message-overwrite") // what a user reads of a message saved in part
            std::printf("    %s\n", qPrintable(err.trimmed()));

        EXPECT_EQ(written, r.count("written")) << c.name;
        EXPECT_GE(written, peerWritten) << c.name << " (" << c.what << "): " << err.toStdString();
        EXPECT_GE(written, libpffWritten)
            << c.name << " (" << c.what << "): libpff finds more mail; " << err.toStdString();
        EXPECT_LE(written, long(corpus.messages)) << c.name;
        // Every message node of the store is written, reported or skipped as not mail; only
        // where the file is cut short can some be lost with the index pages that named them,
        // and then the one line of the file says where it ends.
        const long accounted = written + reported + r.count("notMail") + r.count("notConverted");
        if (err.contains(QStringLiteral("is shorter than its own header says"))) {
            EXPECT_LE(accounted, long(corpus.messages)) << c.name;
        } else {
            EXPECT_EQ(accounted, long(corpus.messages)) << c.name << ": " << err.toStdString();
        }
        // Exit status 0 only when nothing was lost; 1 when something was reported; 2 when the
        // file could not be converted at all.
        EXPECT_EQ(r.exitCode == 0, reports == 0) << c.name;
        EXPECT_TRUE(r.exitCode != 2 || written == 0) << c.name;
        if (accounted < long(corpus.messages) || reported > 0) {
            EXPECT_NE(r.exitCode, 0) << c.name;
        }
        QDir(ours).removeRecursively();
        QDir(theirs).removeRecursively();
        QDir(pff + QStringLiteral(".export")).removeRecursively();
        QFile::remove(file);
    }
    std::printf("%-24s %7ld %8s %7s %9s %8ld %7ld  of %zu x %llu messages\n", "all", ourTotal, "",
                "", "", readpsts, libpffs, corpus.cases.size(),
                static_cast<unsigned long long>(corpus.messages));
}

// A folder that counts three messages more than can be found anywhere in the store: all that
// is there is written, and the missing ones are one report naming the folder.
TEST(DamagedStores, MessagesAFolderCountsButNothingHoldsAreReportedOnce) {
    auto corpus = talvenor::testing::makeDamagedCorpus();
    const auto store = talvenor::pst::Store::openMemory(corpus.intact);
    std::uint32_t folder = 0;
    std::size_t most = 0;
    forEachFolder(store, [&](std::uint32_t f) {
        if (const std::size_t n = store.messages(f).size(); n > most) {
            most = n;
            folder = f;
        }
    });
    ASSERT_GT(most, 0u);
    const QString name = QString::fromStdU16String(store.folder(folder).name);
    talvenor::testing::raiseContentCount(corpus.intact, folder, std::uint32_t(most), 3);

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("overcounted.pst"));
    talvenor::testing::writeBytes(file.toStdString(), corpus.intact);
    const Converted r = convert(file, dir.path());
    EXPECT_EQ(r.count("written"), int(corpus.messages));
    EXPECT_EQ(r.count("reports"), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("3 more items")) &&
                r.err.contains(QStringLiteral("\"%1\"").arg(name)))
        << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 1);
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
    std::vector<std::uint8_t> bytes = readBytes(file);
    const auto map = talvenor::testing::firstHeapBlock(bytes, talvenor::pst::kNidNameMap);
    std::fill_n(bytes.begin() + std::ptrdiff_t(map.start), map.size, std::uint8_t(0));
    talvenor::testing::writeBytes(file.toStdString(), bytes);

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    const Converted r = convert(file, out);
    EXPECT_EQ(countMsgFiles(out), 3);
    EXPECT_EQ(r.count("reports"), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("named properties"))) << r.err.toStdString();
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
    std::vector<std::uint8_t> bytes = readBytes(file);
    std::uint32_t contact = 0;
    {
        const auto store = talvenor::pst::Store::openMemory(bytes);
        forEachFolder(store, [&](std::uint32_t folder) {
            for (const std::uint32_t m : store.messages(folder)) {
                const talvenor::mapi::Message message = store.message(m);
                const auto* c = message.find(talvenor::mapi::tags::MessageClass);
                if (c && talvenor::pst::propertyText(*c) == u"IPM.Contact")
                    contact = m;
            }
        });
    }
    ASSERT_NE(contact, 0u);
    const auto block = talvenor::testing::firstHeapBlock(bytes, contact);
    bytes[block.start + block.size / 2] ^= 0x5A; // its checksum no longer matches
    talvenor::testing::writeBytes(file.toStdString(), bytes);

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    const Converted r = convert(file, out);
    EXPECT_EQ(countMsgFiles(out), 1);
    EXPECT_EQ(r.count("reported"), 1) << r.err.toStdString();
}

namespace {

// The window's road over the same file, in this process: the boxes it shows and the lines of
// the file's conversion report.
struct WindowResult {
    QStringList boxes;
    QStringList reportLines;
};

WindowResult convertInWindow(const QString& file, const QString& out) {
    talvenor::testing::StringSourceList list;
    list.items = {file};
    talvenor::testing::FakeOptions options;
    options.t1 = out;
    talvenor::testing::RecordingProgress progress;
    talvenor::testing::RecordingPointer pointer;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::FakeFolderAccess access;
    const auto store = talvenor::makeStoreFactory(events);
    talvenor::ConversionSession session(*store, messages, events, pointer);
    talvenor::SessionConverter converter(session);
    talvenor::ConversionRun(list, options, progress, pointer, events, messages, converter, access)
        .convertAll();
    WindowResult r;
    r.boxes = messages.texts();
    QFile report(QDir(out).filePath(talvenor::conversionReportName(file)));
    if (report.open(QIODevice::ReadOnly))
        r.reportLines = QString::fromUtf8(report.readAll()).split('\n', Qt::SkipEmptyParts);
    return r;
}

// Over the damaged corpus, the window shows at most one box per file for the messages saved
// from damaged data, and its report file says what the command line says on standard error.
TEST(DamagedStores, TheWindowGivesOneReportPerFileAndTheCommandLinesLines) {
    const auto corpus = talvenor::testing::makeDamagedCorpus();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    int withDamage = 0;
    int index = 0;
    for (const auto& c : corpus.cases) {
        SCOPED_TRACE(c.name);
        const QString file = dir.filePath(QStringLiteral("case%1.pst").arg(index));
        const QString window = dir.filePath(QStringLiteral("window%1").arg(index));
        const QString cli = dir.filePath(QStringLiteral("cli%1").arg(index++));
        talvenor::testing::writeBytes(file.toStdString(), c.bytes);
        ASSERT_TRUE(QDir().mkpath(window) && QDir().mkpath(cli));

        const WindowResult w = convertInWindow(file, window);
        const Converted r = convert(file, cli);

        QStringList cliLines;
        const QString prefix = QStringLiteral("talvenor-convert: ");
        for (const QString& line : r.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            if (line.startsWith(prefix))
                cliLines << line.mid(prefix.size());
        EXPECT_EQ(w.reportLines.join(QLatin1Char('\n')).replace(window, QStringLiteral("<out>")),
                  cliLines.join(QLatin1Char('\n')).replace(cli, QStringLiteral("<out>")));
        const int saved = r.count("savedFromDamage");
        const auto damageBoxes = w.boxes.filter(QStringLiteral("saved from damaged data:")).size();
        EXPECT_EQ(damageBoxes, saved > 0 ? 1 : 0) << w.boxes.join(QLatin1Char('|')).toStdString();
        withDamage += saved > 0;
        EXPECT_EQ(countMsgFiles(cli), r.count("written"));
        EXPECT_EQ(countMsgFiles(window), countMsgFiles(cli));
        EXPECT_TRUE(w.boxes.last().startsWith(QStringLiteral("Done.")));
        QDir(window).removeRecursively();
        QDir(cli).removeRecursively();
        QFile::remove(file);
    }
    std::printf("%d of %zu damaged files had messages saved from damaged data\n", withDamage,
                corpus.cases.size());
}

} // namespace

namespace {

// A store cut short at several lengths: --json counts exactly the files on disk, and a file
// that lost mail never says it was converted.
TEST(DamagedStores, AStoreCutShortCountsTheFilesOnDiskAndIsNotConverted) {
    const auto corpus = talvenor::testing::makeDamagedCorpus();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const double keep : {0.95, 0.75, 0.5, 0.25}) {
        SCOPED_TRACE(keep);
        std::vector<std::uint8_t> bytes = corpus.intact;
        bytes.resize(std::size_t(double(bytes.size()) * keep));
        const QString file = dir.filePath(QStringLiteral("short.pst"));
        const QString out = dir.filePath(QStringLiteral("out"));
        talvenor::testing::writeBytes(file.toStdString(), bytes);
        QDir(out).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(out));
        const Converted r = convert(file, out);
        EXPECT_EQ(countMsgFiles(out), r.count("written")) << r.err.toStdString();
        if (r.count("written") < int(corpus.messages)) {
            EXPECT_FALSE(r.summary.value(QStringLiteral("converted")).toBool())
                << r.err.toStdString();
            EXPECT_GT(r.count("reports"), 0) << r.err.toStdString();
            EXPECT_NE(r.exitCode, 0);
        }
    }
}

} // namespace

namespace {

// Hostile folder trees: a folder's hierarchy table names a folder met elsewhere already.
// Every message is converted exactly once, the folder listed again is one report naming both
// places, and the helper survives; readpst, which follows each node's parent, is the count
// to match where it is installed.
TEST(DamagedStores, AFolderListedASecondTimeIsConvertedOnceWithOneReport) {
    using talvenor::pstwriter::FolderId;
    using talvenor::pstwriter::Writer;
    struct Folders {
        FolderId top, inbox, sub, archive;
    };
    const struct {
        const char* name;
        std::function<void(Writer&, const Folders&)> list;
        const char* again; // where the folder is met the second time
        const char* first; // and where it was converted
    } shapes[] = {
        {"self", [](Writer& w, const Folders& f) { w.listFolderUnder(f.inbox, f.inbox); },
         "\"Inbox/Inbox\"", "as \"Inbox\""},
        {"mutual", [](Writer& w, const Folders& f) { w.listFolderUnder(f.sub, f.inbox); },
         "\"Inbox/Sub/Inbox\"", "as \"Inbox\""},
        {"twice", [](Writer& w, const Folders& f) { w.listFolderUnder(f.archive, f.sub); },
         "\"Archive/Sub\"", "as \"Inbox/Sub\""},
        {"top", [](Writer& w, const Folders& f) { w.listFolderUnder(f.archive, f.top); },
         "\"Archive/Top of Personal Folders\"", "as the top of"},
    };
    TALVENOR_NEEDS_OUTSIDE(talvenor::testing::Outside::Readpst);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const QString file = dir.filePath(QString::fromLatin1(shape.name) + ".pst");
        {
            Writer w(file.toStdString());
            Folders f{w.topFolder(), 0, 0, 0};
            f.inbox = w.addFolder(f.top, u"Inbox");
            f.sub = w.addFolder(f.inbox, u"Sub");
            f.archive = w.addFolder(f.top, u"Archive");
            int n = 0;
            for (const FolderId folder : {f.top, f.inbox, f.sub, f.archive})
                for (int i = 0; i < 4; ++i)
                    w.addMessage(folder,
                                 talvenor::testing::simpleMessage(
                                     "IPM.Note", u"Message " + std::u16string(1, u'A' + n++)));
            shape.list(w, f);
            w.finish();
        }
        const QString out = dir.filePath(QString::fromLatin1(shape.name));
        ASSERT_TRUE(QDir().mkpath(out));
        const Converted r = convert(file, out);
        EXPECT_EQ(countMsgFiles(out), 16);
        EXPECT_EQ(r.count("written"), 16);
        EXPECT_EQ(r.count("reports"), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String("listed a second time")) &&
                    r.err.contains(QLatin1String(shape.again)) &&
                    r.err.contains(QLatin1String(shape.first)))
            << r.err.toStdString();
        EXPECT_EQ(r.exitCode, 1);
        const QString theirs = out + QStringLiteral("-readpst");
        ASSERT_TRUE(QDir().mkpath(theirs));
        QProcess peer;
        peer.start(
            talvenor::testing::programFor(talvenor::testing::Outside::Readpst),
            {QStringLiteral("-m"), QStringLiteral("-q"), QStringLiteral("-o"), theirs, file});
        ASSERT_TRUE(peer.waitForFinished(300000));
        EXPECT_GE(countMsgFiles(out), countMsgFiles(theirs));
        // The window hears the same one report.
        const QString window = out + QStringLiteral("-window");
        ASSERT_TRUE(QDir().mkpath(window));
        const WindowResult w = convertInWindow(file, window);
        EXPECT_EQ(countMsgFiles(window), 16);
        EXPECT_EQ(w.boxes.filter(QStringLiteral("listed a second time")).size(), 1)
            << w.boxes.join(QLatin1Char('|')).toStdString();
    }
}

// Folders nested deeper than any store has: the reader stops at its bound and says so once,
// nothing overflows the stack, and the message below the bound is still converted, with those
// no folder lists.
TEST(DamagedStores, FoldersNestedTooDeepAreReportedOnce) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("deep.pst"));
    {
        talvenor::pstwriter::Writer w(file.toStdString());
        auto folder = w.topFolder();
        for (int depth = 1; depth <= 400; ++depth) {
            folder = w.addFolder(folder, u"Level");
            if (depth == 100 || depth == 400)
                w.addMessage(folder, talvenor::testing::simpleMessage("IPM.Note", u"Deep"));
        }
        w.finish();
    }
    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    const Converted r = convert(file, out);
    EXPECT_EQ(r.count("written"), 2);
    EXPECT_EQ(r.count("recovered"), 1);
    EXPECT_EQ(r.count("reports"), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String("nested more than"))) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 1);
}

} // namespace

namespace {

// Folders the tables no longer reach: one left out of the index with its tables (its messages
// and sub-folder still name it), one left out of its parent's hierarchy table. Every message
// is converted once: found by its parent where the folder is still in the tree, and as
// "Recovered items" where the folder itself is lost.
TEST(DamagedStores, MessagesOfFoldersTheTablesLostAreFoundByTheirParent) {
    using talvenor::pstwriter::FolderId;
    using talvenor::pstwriter::Writer;
    const struct {
        const char* name;
        std::function<void(Writer&, FolderId inbox, FolderId sub)> spoil;
        int recovered; // of the 7 messages of Inbox (5) and Inbox/Sub (2)
        int reports;
    } shapes[] = {
        {"folder lost from the index",
         [](Writer& w, FolderId inbox, FolderId) { w.loseFolder(inbox); }, 5, 1},
        {"row lost from the hierarchy table",
         [](Writer& w, FolderId, FolderId sub) { w.leaveOutOfHierarchy(sub); }, 0, 0},
        {"both",
         [](Writer& w, FolderId inbox, FolderId sub) {
             w.loseFolder(inbox);
             w.leaveOutOfHierarchy(sub);
         },
         5, 1},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const QString file = dir.filePath(QStringLiteral("lost.pst"));
        {
            Writer w(file.toStdString());
            const FolderId inbox = w.addFolder(w.topFolder(), u"Inbox");
            const FolderId sub = w.addFolder(inbox, u"Sub");
            const FolderId other = w.addFolder(w.topFolder(), u"Other");
            for (int i = 0; i < 5; ++i)
                w.addMessage(inbox, talvenor::testing::simpleMessage("IPM.Note", u"In inbox"));
            for (int i = 0; i < 2; ++i)
                w.addMessage(sub, talvenor::testing::simpleMessage("IPM.Note", u"In sub"));
            w.addMessage(other, talvenor::testing::simpleMessage("IPM.Note", u"Elsewhere"));
            shape.spoil(w, inbox, sub);
            w.finish();
        }
        const QString out = dir.filePath(QStringLiteral("out"));
        QDir(out).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(out));
        const Converted r = convert(file, out);
        EXPECT_EQ(countMsgFiles(out), 8) << r.err.toStdString();
        EXPECT_EQ(r.count("written"), 8);
        EXPECT_EQ(r.count("recovered"), shape.recovered);
        EXPECT_EQ(r.count("reports"), shape.reports) << r.err.toStdString();
        EXPECT_EQ(r.exitCode, shape.reports > 0 ? 1 : 0);
        if (shape.recovered > 0) {
            EXPECT_TRUE(r.err.contains(QStringLiteral("as \"Recovered items\"")))
                << r.err.toStdString();
        }
        QFile::remove(file);
    }
}

} // namespace
