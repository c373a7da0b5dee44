// talvenor-convert as a user runs it: no display, real generated stores, real message files;
// what it writes is what the window's way of driving the engine writes.
#include "conversionrun.h"
#include "damagedcorpus.h"
#include "displaytext.h"
#include "generatedstore.h"
#include "recorders.h"
#include "session.h"
#include "storefactory.h"
#include "systemfolderaccess.h"
#include "toolrun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

const QString Program = QStringLiteral(TALVENOR_CONVERT);

// The environment of a machine without any display.
QProcessEnvironment headless() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

struct Outcome {
    int exitCode = -1;
    QStringList err; // the lines of standard error
    QStringList out;
};

Outcome collect(QProcess& p) {
    Outcome r;
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.err = QString::fromUtf8(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return r;
}

void start(QProcess& p, const QStringList& args, const QString& program = Program) {
    p.setProcessEnvironment(headless());
    p.start(program, args);
}

Outcome convert(const QStringList& args) {
    QProcess p;
    start(p, args);
    return collect(p);
}

// Name → content digest of every file in a folder (hidden ones too: nothing half-written may
// stay behind).
// A message file with the times of its storages zeroed: they are the time of the save, which
// two conversions never share. Everything else must be equal byte for byte.
QByteArray withoutSaveTimes(QByteArray f) {
    const auto u32 = [&f](qsizetype at) -> quint32 {
        if (at < 0 || at + 4 > f.size())
            return 0xFFFFFFFE; // the end of any chain
        return quint32(quint8(f[at])) | quint32(quint8(f[at + 1])) << 8 |
               quint32(quint8(f[at + 2])) << 16 | quint32(quint8(f[at + 3])) << 24;
    };
    if (f.size() < 512)
        return f;
    const qsizetype sector = qsizetype(1) << (quint8(f[0x1E]) | quint8(f[0x1F]) << 8);
    const auto offset = [sector](quint32 s) { return (qsizetype(s) + 1) * sector; };
    const auto next = [&](quint32 s) -> quint32 {
        const quint32 perSector = quint32(sector / 4);
        if (s / perSector >= 109) // beyond the header's own list of FAT sectors
            return 0xFFFFFFFE;
        return u32(offset(u32(0x4C + 4 * qsizetype(s / perSector))) + 4 * (s % perSector));
    };
    int guard = 0;
    for (quint32 s = u32(0x30); s < 0xFFFFFFFA && ++guard < 100000; s = next(s))
        for (qsizetype e = offset(s); e + 128 <= offset(s) + sector && e + 128 <= f.size();
             e += 128)
            std::fill(f.begin() + e + 0x64, f.begin() + e + 0x74, '\0');
    return f;
}

std::map<QString, QByteArray> contents(const QString& folder) {
    std::map<QString, QByteArray> files;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        QFile f(folder + "/" + name);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        files[name] = QCryptographicHash::hash(
            name.endsWith(".msg") ? withoutSaveTimes(bytes) : bytes, QCryptographicHash::Sha256);
    }
    return files;
}

// Converts as the window does: the run over its list and options, the session with the
// program's store, the user's answers from recorders.
struct WindowWay {
    struct List : ISourceList {
        QStringList entries;
        int count() const override { return int(entries.size()); }
        QString text(int i) const override { return entries.at(i - 1); }
        void append(const QString& t) override { entries << t; }
    } list;
    struct Options : IOutputOptions {
        QString folder;
        bool option1() const override { return true; }
        bool option2() const override { return false; }
        QString text1() const override { return folder; }
    } options;
    struct Bar : IProgress {
        void setValue(int) override {}
        void setText(const QString&) override {}
    } progress;
    RecordingMessageBox messages;

    void run(const QString& pst, const QString& folder) {
        list.entries = {pst};
        options.folder = folder;
        CountingEventLoop events;
        RecordingPointer pointer;
        const auto store = makeStoreFactory(events);
        ConversionSession session(*store, messages, events, pointer);
        SessionConverter converter(session);
        SystemFolderAccess access;
        ConversionRun(list, options, progress, pointer, events, messages, converter, access)
            .PushButton2_Click();
    }
};

class ConvertProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QFileInfo::exists(Program)) << Program.toStdString();
        pst = dir.filePath("archive.pst");
        writeTreeStore(pst.toStdString(), pstwriter::Format::Unicode);
    }
    QString folder(const QString& name) {
        const QString f = dir.filePath(name);
        EXPECT_TRUE(QDir().mkpath(f));
        return f;
    }
    static QJsonObject summary(const QString& line) {
        return QJsonDocument::fromJson(line.toUtf8()).object();
    }

    QTemporaryDir dir;
    QString pst;
};

TEST_F(ConvertProgram, WritesWithoutADisplayExactlyWhatTheWindowWrites) {
    const QString window = folder("window"), cli = folder("cli");
    WindowWay way;
    way.run(pst, window);
    ASSERT_EQ(way.messages.shown.size(), 1);
    ASSERT_TRUE(way.messages.shown[0].text.startsWith("Done."))
        << way.messages.shown[0].text.toStdString();
    const auto expected = contents(window);
    ASSERT_GE(expected.size(), 3u);

    const Outcome r = convert({"--json", "-o", cli, pst});
    ASSERT_EQ(r.exitCode, 0) << r.err.join('\n').toStdString();
    EXPECT_EQ(contents(cli), expected);
    ASSERT_EQ(r.out.size(), 1);
    const QJsonObject s = summary(r.out[0]);
    EXPECT_EQ(s["file"].toString(), pst);
    EXPECT_EQ(s["output"].toString(), cli + "/");
    EXPECT_EQ(s["written"].toInt(), int(expected.size()));
    EXPECT_EQ(s["reported"].toInt(), 0);
    EXPECT_TRUE(s["converted"].toBool());
    // Standard error: the file's progress line and its summary, nothing else.
    ASSERT_EQ(r.err.size(), 2) << r.err.join('\n').toStdString();
    EXPECT_EQ(r.err[0], "[1/1] " + pst);
    EXPECT_TRUE(r.err[1].startsWith(
        QStringLiteral("%1: %2 messages written, 0 reported, ").arg(pst).arg(expected.size())))
        << r.err[1].toStdString();
}

TEST_F(ConvertProgram, BesideAndRelativePathsPutTheFilesNextToTheStore) {
    const QString expected = folder("expected");
    WindowWay().run(pst, expected);
    QProcess p;
    p.setWorkingDirectory(dir.path());
    start(p, {"--beside", "archive.pst"});
    const Outcome r = collect(p);
    ASSERT_EQ(r.exitCode, 0) << r.err.join('\n').toStdString();
    auto written = contents(dir.path());
    written.erase("archive.pst");
    EXPECT_EQ(written, contents(expected));
}

TEST_F(ConvertProgram, BadInputGivesOneClearLineAndTheDocumentedStatus) {
    const QString out = folder("out");
    const QString foreign = dir.filePath("notes.pst");
    {
        QFile f(foreign);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("These are my notes, not a personal-folder file.\n");
    }
    const QString missing = dir.filePath("missing.pst");
    struct Case {
        const char* name;
        QStringList args;
        int status;
        QString line; // the one report line starts with it
    };
    const Case cases[] = {
        {"missing file",
         {"-o", out, missing},
         2,
         "talvenor-convert: " + missing + ": The file “" + missing + "” does not exist."},
        {"foreign file",
         {"-o", out, foreign},
         2,
         "talvenor-convert: " + foreign + ": The file “" + foreign + "” is not a PST file."},
        {"missing output folder",
         {"-o", dir.filePath("nowhere"), pst},
         2,
         "talvenor-convert: " + dir.filePath("nowhere") + ": no such folder"},
        {"bad usage",
         {"--beside", "-o", out, pst},
         2,
         "talvenor-convert: -o and --beside exclude each other"},
        {"one good file and one missing",
         {"-o", out, pst, missing},
         1,
         "talvenor-convert: " + missing + ": The file “" + missing + "” does not exist."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome r = convert(c.args);
        EXPECT_EQ(r.exitCode, c.status);
        const QStringList reports = r.err.filter(QRegularExpression("^talvenor-convert: "));
        ASSERT_EQ(reports.size(), 1) << r.err.join('\n').toStdString();
        EXPECT_TRUE(reports[0].startsWith(c.line)) << reports[0].toStdString();
    }
}

// The program copied where no reading helper lies beside it, as after a broken install: the
// user learns which helper is missing, not that the PST file is held by another program.
TEST_F(ConvertProgram, AMissingReadingHelperIsNamed) {
    const QString alone = folder("alone");
    const QString copy = alone + "/talvenor-convert";
    ASSERT_TRUE(QFile::copy(Program, copy));
    QProcess p;
    start(p, {"-o", folder("out"), "--json", pst}, copy);
    const Outcome r = collect(p);
    EXPECT_EQ(r.exitCode, 2);
    const QString helper = alone + "/talvenor-reader";
    const QStringList reports = r.err.filter(QRegularExpression("^talvenor-convert: "));
    ASSERT_EQ(reports.size(), 1) << r.err.join('\n').toStdString();
    EXPECT_EQ(reports[0], "talvenor-convert: " + pst +
                              ": the reading helper could not be started: " + helper +
                              ": No such file or directory");
    ASSERT_EQ(r.out.size(), 1);
    EXPECT_TRUE(r.out[0].contains("\"cause\":\"reader-not-started\"")) << r.out[0].toStdString();
    EXPECT_FALSE(r.err.join('\n').contains("#0731"));
}

TEST_F(ConvertProgram, AFolderThatCannotBeWrittenIsOneReportAndNothingConverted) {
    // Tests run as root, whom permissions do not stop: the program runs as nobody then.
    QString program = Program;
    QStringList prefix;
    if (::geteuid() == 0) {
        program = QStandardPaths::findExecutable("setpriv");
        ASSERT_FALSE(program.isEmpty()) << "setpriv is missing (Debian package util-linux)";
        prefix = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", Program};
        // nobody must reach the store, but not write beside it.
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(pst).constData(), 0644), 0);
    }
    const QString locked = folder("locked");
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0555), 0);

    QProcess p;
    start(p, prefix + QStringList{"-o", locked, pst}, program);
    const Outcome r = collect(p);
    EXPECT_EQ(r.exitCode, 2);
    const QStringList reports = r.err.filter(QRegularExpression("^talvenor-convert: "));
    ASSERT_EQ(reports.size(), 1) << r.err.join('\n').toStdString();
    EXPECT_TRUE(reports[0].startsWith("talvenor-convert: " + pst +
                                      ": Permission denied: the "
                                      "results of \"archive.pst\" cannot be saved because the "
                                      "folder \"" +
                                      locked + "/\" cannot be written."))
        << reports[0].toStdString();
    EXPECT_TRUE(QDir(locked).isEmpty());
    ::chmod(QFile::encodeName(locked).constData(), 0755);
}

TEST_F(ConvertProgram, TwoProcessesIntoOneFolderLoseNothingAndOverwriteNothing) {
    // Enough equal names that the two processes meet over the same ones while both write.
    const QString many = dir.filePath("many.pst");
    writeLargeFolderStore(many.toStdString(), 400);
    const QString single = folder("single"), shared = folder("shared");
    ASSERT_EQ(convert({"-o", single, pst, many}).exitCode, 0);
    std::multiset<QByteArray> once;
    for (const auto& [name, digest] : contents(single))
        once.insert(digest);

    QProcess a, b;
    start(a, {"--json", "-o", shared, pst, many});
    start(b, {"--json", "-o", shared, pst, many});
    const Outcome ra = collect(a), rb = collect(b);
    ASSERT_EQ(ra.exitCode, 0) << ra.err.join('\n').toStdString();
    ASSERT_EQ(rb.exitCode, 0) << rb.err.join('\n').toStdString();

    // Every message twice, under distinct names, and only whole message files.
    const auto both = contents(shared);
    std::multiset<QByteArray> twice;
    for (const auto& [name, digest] : both) {
        EXPECT_TRUE(name.endsWith(".msg")) << name.toStdString();
        twice.insert(digest);
    }
    std::multiset<QByteArray> expected = once;
    expected.insert(once.begin(), once.end());
    EXPECT_EQ(twice, expected);
    ASSERT_EQ(ra.out.size(), 2);
    ASSERT_EQ(rb.out.size(), 2);
    int written = 0;
    for (const QString& line : ra.out + rb.out)
        written += summary(line)["written"].toInt();
    EXPECT_EQ(written, int(both.size()));
}

// Subjects and a folder name that would command a terminal or deceive the eye: the files are
// named what they show, and no control character of the store reaches standard error or the
// JSON summary, though one message is reported (its block's checksum is wrong).
TEST_F(ConvertProgram, HostileSubjectsGiveHonestNamesAndCleanReports) {
    const std::u16string alert = u"Alert \x1b]0;owned\x07 \x1b[2J done";
    const std::pair<std::u16string, QString> subjects[] = {
        {alert, "Alert  ]0;owned   [2J done.msg"},
        {u"Re: C1 \u009b31m red", "Re  C1  31m red.msg"},
        {u"invoice\u202Egpj.exe", "invoice gpj.exe.msg"},
        {u"Pay\u200Bment", "Pay ment.msg"},
        {u"\u200B", "hostile (no subject).msg"},
        {u"CON", "CON_.msg"},
        {u"aux.txt", "aux_.txt.msg"},
        {u"trailing dot.", "trailing dot._.msg"},
    };
    const QString hostile = dir.filePath("hostile.pst");
    std::uint32_t alertNid = 0;
    pstwriter::Writer writer(hostile.toStdString(), {});
    const auto box = writer.addFolder(writer.topFolder(), u"Box \x1b[31mred\x1b[0m");
    for (const auto& [subject, file] : subjects)
        if (const auto nid = writer.addMessage(box, simpleMessage("IPM.Note", subject));
            subject == alert)
            alertNid = nid;
    writer.finish();
    QFile f(hostile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    std::vector<std::uint8_t> bytes(all.begin(), all.end());
    // The checksum in the trailer after the 64-byte aligned block, 12 bytes from its end.
    const ByteRange block = firstHeapBlock(bytes, alertNid);
    bytes.at(block.start + (block.size + 16 + 63) / 64 * 64 - 12) ^= 0xFF;
    writeBytes(hostile.toStdString(), bytes);

    const QString out = folder("hostile");
    QProcess p;
    start(p, {"--json", "-o", out, hostile});
    ASSERT_TRUE(p.waitForFinished(300000));
    const QString err = p.readAllStandardError(), json = p.readAllStandardOutput();
    EXPECT_EQ(p.exitCode(), 1) << err.toStdString();
    QStringList expected;
    for (const auto& [subject, file] : subjects)
        expected << file;
    expected.sort();
    EXPECT_EQ(QDir(out).entryList({"*.msg"}, QDir::Files, QDir::Name), expected);
    for (const QString& text : {err, json})
        EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](QChar c) {
            return c != '\n' && isControlCharacter(c.unicode());
        })) << text.toStdString();
    EXPECT_TRUE(err.contains(R"(folder "Box \x1b[31mred\x1b[0m", item "Alert \x1b]0;owned\x07 )"))
        << err.toStdString();
    const QJsonObject line = summary(json.trimmed())["lines"].toArray()[0].toObject();
    EXPECT_EQ(line["subject"].toString(), R"(Alert \x1b]0;owned\x07 \x1b[2J done)");
}

TEST_F(ConvertProgram, NeedsNeitherWidgetsNorAWindowSystem) {
    const ToolRun r = runTool("ldd", {Program});
    ASSERT_EQ(r.exitCode, 0) << "ldd is missing (Debian package libc-bin)";
    EXPECT_TRUE(r.out.contains("libQt6Core"));
    for (const char* lib : {"libQt6Gui", "libQt6Widgets", "libX11", "libxcb"})
        EXPECT_FALSE(r.out.contains(lib)) << lib;
}

TEST_F(ConvertProgram, HelpDescribesTheCommandLine) {
    const Outcome r = convert({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_FALSE(r.out.isEmpty());
    EXPECT_TRUE(r.out[0].startsWith("Usage: talvenor-convert [-o FOLDER | --beside]"));
}

} // namespace
