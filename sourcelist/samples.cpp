#include "samples.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "filelisting.h"

#include <QStringList>

namespace talvenor {

namespace {
enum class Direction { Scramble, Unscramble };

QString shift(const QString& text, const QString& key, IEventLoop& events, Direction d) {
    if (key.isEmpty())
        throw Failure(failures::InvalidArgument,
                      QStringLiteral("Invalid procedure call or argument"));
    QString result;
    result.reserve(text.size());
    qsizetype k = 0;
    for (const QChar ch : text) {
        events.yield();
        const int c = ch.unicode();
        const int kc = key[k].unicode();
        k = (k + 1) % key.size();
        if (c > 255 || kc > 255)
            throw Failure(failures::InvalidArgument,
                          QStringLiteral("Invalid procedure call or argument"));
        int v;
        if (d == Direction::Scramble) {
            v = c + kc;
            if (v > 255)
                v -= 255;
        } else {
            v = c - kc;
            if (v < 1)
                v += 255;
        }
        result += QChar(char16_t(v));
    }
    return result;
}
} // namespace

QString ScrambleText(const QString& text, const QString& key, IEventLoop& events) {
    return shift(text, key, events, Direction::Scramble);
}

QString UnscrambleText(const QString& text, const QString& key, IEventLoop& events) {
    return shift(text, key, events, Direction::Unscramble);
}

QString scrambleForStore(const QString& text, const QString& key, IEventLoop& events) {
    return ScrambleText(QString::fromLatin1(text.toUtf8()), key, events);
}

QString unscrambleFromStore(const QString& stored, const QString& key, IEventLoop& events) {
    const QString bytes = UnscrambleText(stored, key, events);
    return QString::fromUtf8(bytes.toLatin1());
}

QString samplesFolder(const QString& programDir) {
    return programDir + QStringLiteral("/Samples/");
}

void SnapshotSamples(const QString& programDir, ISettings& settings, IEventLoop& events) {
    const QString folder = samplesFolder(programDir);
    QStringList paths;
    for (const QString& name : files::listFiles(folder, QStringLiteral("*.*")))
        paths << folder + name;
    settings.writeSetting(SnapshotSetting,
                          scrambleForStore(paths.join(QLatin1Char('|')), SnapshotKey, events));
}

void AddSampleFiles(ISourceList& list, const QString& programDir, const ISettings& settings,
                    IMessageBox& messages, IEventLoop& events, IDesktopShell& shell) {
    const QString snapshot =
        unscrambleFromStore(settings.readSetting(SnapshotSetting, QString()), SnapshotKey, events);
    if (!snapshot.isEmpty()) {
        for (const QString& path : snapshot.split(QLatin1Char('|'))) {
            if (PathExists(path) && !ListHasItem(list, path))
                list.append(path);
        }
    }
    const MessageAnswer answer = messages.show(
        {OpenSamplesQuestion, applicationTitle(), MessageButtons::YesNo, MessageIcon::None});
    if (answer != MessageAnswer::Yes)
        return;
    const QString folder = samplesFolder(programDir);
    if (!shell.openFolder(folder))
        messages.show({cannotOpenSamplesText(folder), applicationTitle(), MessageButtons::Ok,
                       MessageIcon::None});
}

QString cannotOpenSamplesText(const QString& folder) {
    return QStringLiteral("The folder could not be opened: no program to show folders was "
                          "found.\r\n\r\nThe sample files are stored in:\r\n") +
           folder;
}

void PushButton7_Click(ISourceList& list, const QString& programDir, const ISettings& settings,
                       IMessageBox& messages, IEventLoop& events, IDesktopShell& shell) {
    Procedure proc(messages, windowLocation(QStringLiteral("PushButton7_Click")));
    proc.step(100, [&] { AddSampleFiles(list, programDir, settings, messages, events, shell); });
}

} // namespace talvenor
