// Every item of the store is accounted for, those outside the mail folders too: written,
// reported, or skipped as not mail. libpff is the oracle for what the folders hold, over every
// store the suite can generate and every real store the mail program wrote (../shared/realworld);
// our reader must find at least the mail libpff finds, and the test names any item it misses.
#include "../pst/fixtures.h"
#include "pffreader.h"
#include "realworld.h"

#include <msgfile.h>
#include <nativestore.h>
#include <pststore.h>
#include <recorders.h>
#include <session.h>

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using namespace talvenor;

namespace {

// A text property as libpff hands it over, stored terminators dropped.
QString pffText(const mapi::PropertyBag& bag, std::uint16_t id) {
    const mapi::Property* p = bag.find(id);
    if (!p)
        return {};
    QString text = p->type == mapi::PtUnicode
                       ? QString::fromStdU16String(mapi::fromUtf16le(p->value))
                       : QString::fromLatin1(reinterpret_cast<const char*>(p->value.data()),
                                             qsizetype(p->value.size()));
    while (text.endsWith(QChar(0)))
        text.chop(1);
    return text;
}

// Mail is IPM.Note and every class below it, by whole segments, in any case.
bool isMailClass(const QString& messageClass) {
    const QStringList segments = messageClass.split(u'.');
    return segments.size() >= 2 && segments[0].compare("IPM", Qt::CaseInsensitive) == 0 &&
           segments[1].compare("Note", Qt::CaseInsensitive) == 0;
}

struct Oracle {
    int items = 0;
    QStringList mail; // "folder path: subject" of each mail item
};

// The items of a folder and of everything below it: those of the folders the walk stays out
// of, or that lie outside the mail folders, are read as recovered items.
void countFolder(const pstwriter::test::ReadFolder& f, const QString& path, Oracle& o) {
    for (const auto& m : f.messages) {
        ++o.items;
        if (isMailClass(pffText(m.props, mapi::tags::MessageClass)))
            o.mail << path + ": " + pffText(m.props, mapi::tags::Subject);
    }
    for (const auto& sub : f.folders)
        countFolder(sub, path + "/" + QString::fromStdString(sub.name), o);
}

void checkStore(const QString& pst, const QString& out) {
    SCOPED_TRACE(pst.toStdString());
    const pstwriter::test::ReadFolder root = pstwriter::test::readPst(pst.toStdString());
    Oracle oracle;
    countFolder(root, QString(), oracle);

    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& m, const QString& path) { msg::writeMsg(m, path); };
    nativestore::NativeApplicationFactory factory(options);
    ConversionSession session(factory, messages, events, pointer);
    // Counted as values; every report still reaches the window's boxes, which must stay empty.
    FileTally tally;
    WindowOutcomes window(messages, false);
    TeeObserver outcomes(tally, window);
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    session.PST2MSG(pst, out + "/x.msg", &outcomes);
    const FileCounts& counts = tally.counts();
    const std::int64_t written = counts.files();

    EXPECT_EQ(written + counts.reported + counts.skipped.total(), oracle.items);
    EXPECT_EQ(written + counts.reported, oracle.mail.size());
    // Nothing here is damaged: every mail item libpff finds becomes a file.
    EXPECT_GE(written, oracle.mail.size())
        << "libpff's mail items: " << oracle.mail.join(" | ").toStdString();
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), written);
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.texts().join(" | ").toStdString();
}

TEST(EveryItem, OfEveryGeneratedStoreIsWrittenReportedOrNotMail) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& fixture : pst::test::allFixtures()) {
        SCOPED_TRACE(fixture.name);
        const QString pst = dir.filePath(QString::fromStdString(fixture.name) + ".pst");
        fixture.write(pst.toStdString());
        checkStore(pst, dir.filePath("out"));
        QFile::remove(pst);
    }
}

TEST(EveryItem, OfEveryRealStoreIsWrittenReportedOrNotMail) {
    QStringList stores;
    if (!talvenor::testing::findRealWorldStores(stores))
        GTEST_SKIP();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const QString& pst : stores)
        checkStore(pst, dir.filePath("out"));
}

} // namespace
