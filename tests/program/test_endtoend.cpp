// The whole program in one process over real PST files: the native store reads them, the
// message writer writes the results, the real window drives it all.
#include "../window/windowfixture.h"

#include "conversionrun.h"
#include "form1.h"
#include "msgfile.h"
#include "msgreader.h"
#include "nativestore.h"
#include "pstwriter.h"
#include "qteventloop.h"
#include "qtprint.h"
#include "samples.h"
#include "systemfolderaccess.h"

#include <QDir>
#include <QFile>

#include <iostream>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

mapi::Message letter(const std::u16string& subject) {
    mapi::Message m;
    m.setUnicode(mapi::tags::MessageClass, u"IPM.Note");
    pstwriter::build::setSubject(m, subject);
    m.setUnicode(mapi::tags::Body, u"Body of " + subject);
    return m;
}

TEST(EndToEnd, SamplesLoadedAndConvertedIntoTheDesktopFolder) {
    QTemporaryDir home, program;
    ASSERT_TRUE(home.isValid() && program.isValid());
    const QString desktop = home.path() + "/Desktop";
    ASSERT_TRUE(QDir().mkpath(desktop));
    const QString samples = program.path() + "/Samples/";
    ASSERT_TRUE(QDir().mkpath(samples));

    // The samples shipped beside the program, and one of our own whose contents are known.
    QStringList shipped;
    const QDir real(QCoreApplication::applicationDirPath() + "/Samples");
    for (const QString& name : real.entryList({"*.pst"}, QDir::Files)) {
        ASSERT_TRUE(QFile::copy(real.filePath(name), samples + name));
        shipped << name;
    }
    std::cout << "shipped samples: " << shipped.join(", ").toStdString() << "\n";
    {
        pstwriter::Writer writer((samples + "Known.pst").toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox");
        writer.addMessage(inbox, letter(u"First letter"));
        writer.addMessage(inbox, letter(u"Второе письмо"));
        writer.finish();
    }

    RecordingSettings settings(home.path() + "/.config");
    RecordingMessageBox messages;
    QtEventLoop events;
    ScriptedFolderPicker picker;
    ScriptedFileDialog files;
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& m, const QString& path) { msg::writeMsg(m, path); };
    nativestore::NativeApplicationFactory store(options);
    RecordingProcess process;
    QuietProgram::Shell shell;
    QuietProgram::NeverSeven draw;
    SystemFolderAccess access;
    Form1 form(
        {messages, events, settings, picker, files},
        {store, process, shell, draw, access, program.path(), [&] { return desktop + "/"; }});
    ASSERT_TRUE(form.Form_Load());
    form.show();
    ASSERT_TRUE(messages.shown.isEmpty()) << messages.texts().join("\n").toStdString();

    messages.answers = {MessageAnswer::No};
    QTest::mouseClick(form.PushButton7, Qt::LeftButton);
    EXPECT_EQ(form.ListView1->count(), shipped.size() + 1);
    EXPECT_TRUE(shell.opened.isEmpty());

    messages.shown.clear();
    QTest::mouseClick(form.PushButton2, Qt::LeftButton);
    // The samples hold contacts and appointments besides mail: the closing box counts them.
    ASSERT_EQ(messages.shown.size(), 1) << messages.texts().join('|').toStdString();
    EXPECT_TRUE(messages.shown[0].text.startsWith("Done.\r\n\r\nMessages written: "));
    EXPECT_TRUE(messages.shown[0].text.contains("\r\nSaved from damaged data: 0\r\nReported: "
                                                "0\r\nSkipped (not mail): "));

    const QStringList written = QDir(desktop).entryList({"*.msg"}, QDir::Files);
    std::cout << written.size() << " message files written\n";
    EXPECT_TRUE(written.contains("First letter.msg"));
    EXPECT_TRUE(written.contains("Второе письмо.msg"));
    EXPECT_GE(written.size(), 2 + shipped.size());
    for (const QString& name : written)
        EXPECT_NO_THROW(msg::readMsg(desktop + "/" + name)) << name.toStdString();
    // Nothing but finished message files is left in the folder.
    EXPECT_EQ(QDir(desktop).entryList(QDir::Files | QDir::Hidden).size(), written.size());
}

} // namespace
