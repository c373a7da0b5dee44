// The PST readers we test against (libpff's pffinfo and pffexport, libpst's readpst) open
// every shipped sample without complaint and list the folders and messages it describes.
#include "description.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <outsideprograms.h>
#include <toolrun.h>

#include <gtest/gtest.h>

#include <map>

using namespace talvenor;
using namespace talvenor::pstwriter;

namespace {

using talvenor::testing::Outside;
using talvenor::testing::programFor;
using talvenor::testing::runTool;
using talvenor::testing::ToolRun;

using Listing = std::map<std::string, int>; // folder path below the top folder -> messages

bool readpstWrites(const mapi::Message& m) {
    // readpst leaves out calendar items, tasks and notes that carry none of their own
    // properties; everything else it writes.
    const auto cls = m.unicode(mapi::tags::MessageClass).value_or(u"IPM.Note");
    return cls.rfind(u"IPM.Appointment", 0) != 0 && cls.rfind(u"IPM.Task", 0) != 0 &&
           cls.rfind(u"IPM.StickyNote", 0) != 0;
}

void expected(const std::vector<FolderDescription>& folders, const QString& prefix, Listing& all,
              Listing& mail) {
    for (const FolderDescription& f : folders) {
        const QString path = prefix + QString::fromStdU16String(f.name);
        all[path.toStdString()] += int(f.messages.size());
        for (const auto& m : f.messages)
            if (readpstWrites(m))
                ++mail[path.toStdString()];
        expected(f.folders, path + "/", all, mail);
    }
}

// pffexport writes a folder per folder and one per item (named like "Message00001").
Listing pffexportListing(const QString& top) {
    Listing l;
    static const QRegularExpression item("^[A-Za-z ]+\\d{5}$");
    QDirIterator it(top, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(top).relativeFilePath(path);
        if (rel.contains("/Attachments") || rel.contains(QRegularExpression("\\d{5}/")))
            continue;
        if (item.match(it.fileName()).hasMatch())
            ++l[QFileInfo(rel).path().toStdString()];
        else
            l[rel.toStdString()] += 0;
    }
    return l;
}

// readpst -M writes one numbered file per message in a folder per folder.
Listing readpstListing(const QString& top) {
    Listing l;
    static const QRegularExpression item("^\\d+$");
    QDirIterator it(top, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (item.match(it.fileName()).hasMatch())
            ++l[QDir(top).relativeFilePath(QFileInfo(path).path()).toStdString()];
    }
    return l;
}

Listing nonEmpty(Listing l) {
    std::erase_if(l, [](const auto& e) { return e.second == 0; });
    return l;
}

class Readers : public ::testing::TestWithParam<const char*> {};

TEST_P(Readers, OpenSampleCleanlyAndListItsFoldersAndMessages) {
    TALVENOR_NEEDS_OUTSIDE(Outside::Pffinfo, Outside::Pffexport, Outside::Readpst);
    const QString name = GetParam();
    const QString pst = QStringLiteral(TALVENOR_SAMPLES_DIR "/") + name + ".pst";
    QFile json(QStringLiteral(TALVENOR_SAMPLE_SOURCES "/") + name + ".json");
    ASSERT_TRUE(json.open(QIODevice::ReadOnly)) << json.fileName().toStdString();
    ASSERT_TRUE(QFile::exists(pst)) << pst.toStdString() << " was not generated";
    const StoreDescription store = parseDescription(json.readAll());
    Listing all;
    Listing mail;
    expected(store.folders, "", all, mail);
    all["Deleted Items"] += 0; // every store has one

    const QString pffinfo = programFor(Outside::Pffinfo);
    const QString pffexport = programFor(Outside::Pffexport);
    const QString readpst = programFor(Outside::Readpst);

    const ToolRun info = runTool(pffinfo, {"-v", pst});
    EXPECT_EQ(info.exitCode, 0) << info.err.toStdString();
    EXPECT_TRUE(info.err.trimmed().isEmpty()) << info.err.toStdString();

    QTemporaryDir dir;
    const ToolRun exported_run =
        runTool(pffexport, {"-q", "-f", "all", "-t", dir.filePath("x"), pst});
    EXPECT_EQ(exported_run.exitCode, 0) << exported_run.err.toStdString();
    EXPECT_TRUE(exported_run.err.trimmed().isEmpty()) << exported_run.err.toStdString();
    Listing exported = pffexportListing(dir.filePath("x.export/Top of Personal Folders"));
    EXPECT_EQ(exported, all) << "pffexport lists other folders or messages";

    QDir().mkpath(dir.filePath("r"));
    const ToolRun rp = runTool(readpst, {"-D", "-M", "-o", dir.filePath("r"), pst});
    EXPECT_EQ(rp.exitCode, 0) << rp.err.toStdString();
    EXPECT_TRUE(rp.err.trimmed().isEmpty()) << rp.err.toStdString();
    QString storeDir = QString::fromStdU16String(store.options.displayName);
    storeDir.replace('/', '_');
    EXPECT_EQ(readpstListing(dir.filePath("r/" + storeDir)), nonEmpty(mail))
        << "readpst lists other folders or messages";
}

INSTANTIATE_TEST_SUITE_P(Samples, Readers,
                         ::testing::Values("Household", "International", "ProjectArchive"));

} // namespace
