// The output folder is opened by its name for each PST file: a folder renamed, and a new one
// made under the old name, between two files of a batch or between two runs of the window,
// receives the later files.
#include "conversionrun.h"
#include "generatedstore.h"
#include "recorders.h"
#include "runfakes.h"
#include "session.h"
#include "storefactory.h"
#include "stringlist.h"

#include <pstwriter.h>

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace talvenor;
using namespace talvenor::testing;

// Renames the folder away and makes it anew as the second file of a batch starts.
struct RenamingObserver : IRunObserver {
    QString folder;
    bool inBatch = true;
    void fileStarted(const FileStarted& f) override {
        if (inBatch && f.index == 2)
            renameAway();
    }
    void renameAway() const {
        ASSERT_TRUE(QDir().rename(folder, folder + ".old") && QDir().mkpath(folder));
    }
};

QString makeStore(const QString& path, const std::u16string& subject) {
    pstwriter::Writer w(path.toStdString());
    const auto inbox = w.addFolder(w.topFolder(), u"Inbox");
    for (const char16_t n : {u'1', u'2'})
        w.addMessage(inbox, simpleMessage("IPM.Note", subject + n));
    w.finish();
    return path;
}

std::string filesIn(const QString& dir) {
    return QDir(dir).entryList({"*.msg"}, QDir::Files, QDir::Name).join('|').toStdString();
}

TEST(OutputFolder, AFolderMadeAnewUnderItsNameReceivesTheLaterFiles) {
    for (const bool inBatch : {true, false}) {
        SCOPED_TRACE(inBatch ? "two files of one batch" : "two runs of the window");
        QTemporaryDir dir;
        const QStringList pst = {makeStore(dir.filePath("first.pst"), u"First "),
                                 makeStore(dir.filePath("second.pst"), u"Second ")};
        const QString out = dir.filePath("out");
        ASSERT_TRUE(QDir().mkpath(out));
        FakeOptions options;
        options.t1 = out;
        RecordingProgress progress;
        RecordingPointer pointer;
        CountingEventLoop events;
        RecordingMessageBox messages;
        FakeFolderAccess access;
        const auto store = makeStoreFactory(events);
        ConversionSession session(*store, messages, events, pointer);
        SessionConverter converter(session);
        RenamingObserver observer;
        observer.folder = out;
        observer.inBatch = inBatch;
        StringSourceList list;
        for (const QStringList& files :
             inBatch ? QList<QStringList>{pst} : QList<QStringList>{{pst[0]}, {pst[1]}}) {
            list.items = files;
            ConversionRun(list, options, progress, pointer, events, observer, converter, access)
                .convertAll();
            if (!inBatch && files[0] == pst[0])
                observer.renameAway();
        }
        EXPECT_EQ(filesIn(out + ".old"), "First 1.msg|First 2.msg");
        EXPECT_EQ(filesIn(out), "Second 1.msg|Second 2.msg");
    }
}

} // namespace
