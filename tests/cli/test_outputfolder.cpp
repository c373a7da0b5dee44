// The output folder is opened by its name for each PST file: a folder renamed, and a new one
// made under the old name, between two files of a batch or between two runs of the window,
// receives the later files. The summary names the folder the files are in.
#include "conversionrun.h"
#include "generatedstore.h"
#include "outcomes.h"
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

// Between two files: the folder of the first is renamed away and made anew.
struct RenamingObserver : IRunObserver {
    QString folder;
    bool batch = true;
    void fileStarted(const FileStarted& f) override {
        if (batch && f.index == 2)
            renameAway();
    }
    void renameAway() const {
        ASSERT_TRUE(QDir().rename(folder, folder + QStringLiteral(".old")));
        ASSERT_TRUE(QDir().mkpath(folder));
    }
};

QString makeStore(const QString& path, const std::u16string& subject) {
    pstwriter::Writer w(path.toStdString());
    const auto inbox = w.addFolder(w.topFolder(), u"Inbox");
    for (int i = 0; i < 3; ++i)
        w.addMessage(inbox, simpleMessage("IPM.Note", subject + std::u16string(1, u'1' + i)));
    w.finish();
    return path;
}

std::string filesIn(const QString& dir) {
    return QDir(dir)
        .entryList({QStringLiteral("*.msg")}, QDir::Files, QDir::Name)
        .join(QLatin1Char('|'))
        .toStdString();
}

TEST(OutputFolder, AFolderMadeAnewUnderItsNameReceivesTheLaterFiles) {
    for (const bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "two files of one batch" : "two runs of the window");
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString first = makeStore(dir.filePath(QStringLiteral("first.pst")), u"First ");
        const QString second = makeStore(dir.filePath(QStringLiteral("second.pst")), u"Second ");
        const QString out = dir.filePath(QStringLiteral("out"));
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
        observer.batch = batch;
        StringSourceList list;
        if (batch) {
            list.items = {first, second};
            ConversionRun(list, options, progress, pointer, events, observer, converter, access)
                .convertAll();
        } else {
            for (const QString& file : {first, second}) {
                list.items = {file};
                ConversionRun(list, options, progress, pointer, events, observer, converter, access)
                    .convertAll();
                if (file == first)
                    observer.renameAway();
            }
        }
        EXPECT_EQ(filesIn(out + QStringLiteral(".old")), "First 1.msg|First 2.msg|First 3.msg");
        EXPECT_EQ(filesIn(out), "Second 1.msg|Second 2.msg|Second 3.msg");
    }
}

} // namespace
