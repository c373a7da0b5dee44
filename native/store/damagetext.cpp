#include "damagetext.h"

#include "displaytext.h"
#include "filechecks.h"
#include "itemclass.h"
#include "nativestore.h"
#include "reader.h"

#include <ndb.h>
#include <source.h>

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QStringList>

namespace talvenor::nativestore {

std::optional<CutShort> cutShortBy(const pst::Header& header, std::uint64_t realSize) {
    // Far beyond the largest store the format allows.
    constexpr std::uint64_t LargestStore = std::uint64_t(1) << 40;
    if (header.checksumFailed || header.fileEof <= realSize || header.fileEof > LargestStore ||
        header.nbtIb >= header.fileEof || header.bbtIb >= header.fileEof)
        return std::nullopt;
    return CutShort{header.fileEof, realSize};
}

std::optional<CutShort> cutShortFile(const QString& path) {
    try {
        const pst::FileSource file(QFile::encodeName(path).toStdString());
        pst::Bytes head;
        file.read(0, std::size_t(std::min<std::uint64_t>(file.size(), 564)), head);
        return cutShortBy(pst::parseHeader(pst::View(head)), file.size());
    } catch (const pst::Error&) {
    }
    return std::nullopt;
}

Failure cutShortStore(const QString& path, const CutShort& cut) {
    const std::uint64_t missing = cut.headerSize - std::min(cut.headerSize, cut.realSize);
    const int percent = cut.headerSize == 0 ? 0 : int(missing * 100 / cut.headerSize);
    return Failure(Cause::CutShort, storefailures::DamagedStore,
                   QStringLiteral("The file %1 is shorter than its own header says: it ends "
                                  "at %2 of its %3, so its last %4 (%5%) and what lay there "
                                  "are lost.")
                       .arg(quotedName(path), byteCount(cut.realSize), roundedSize(cut.headerSize),
                            roundedSize(missing))
                       .arg(std::max(percent, 1)));
}

Failure beyondTheEnd() {
    return Failure(Cause::CutShort, storefailures::DamagedStore,
                   QStringLiteral("What it needs lay beyond the end of the file, which is cut "
                                  "short."));
}

Failure damagedStore(const QString& path, const pst::Error& e, const std::optional<CutShort>& cut) {
    if (cut)
        return cutShortStore(path, *cut);
    return Failure(Cause::Damaged, storefailures::DamagedStore,
                   QStringLiteral("The file %1 is damaged: %2.")
                       .arg(quotedName(path), QString::fromUtf8(e.what())));
}

QString unreadableFolderContents(const QString& folder, const QString& path, const Failure& why) {
    return QStringLiteral("The folder \"%1\" of %2 cannot be read, so only those of its "
                          "messages that the store's index still finds are converted, as "
                          "\"Recovered items\": %3")
        .arg(displayText(folder), quotedName(path), why.description());
}

QString unreadableSubfolders(const QString& folder, const QString& path, const Failure& why) {
    return QStringLiteral("The folder \"%1\" of %2 cannot be read, so its sub-folders are not "
                          "converted: %3")
        .arg(displayText(folder), quotedName(path), why.description());
}

QString foldersTooDeep(const QString& folder, const QString& path, int limit) {
    return QStringLiteral("The folders of %1 are nested more than %2 levels deep, which no "
                          "store has: the sub-folders of \"%3\" are not converted as folders, "
                          "and their messages are read as \"Recovered items\".")
        .arg(quotedName(path))
        .arg(limit)
        .arg(folder);
}

QString unreadableMessage(int index, const QString& folder, const QString& known) {
    QString text = QStringLiteral(" Message %1 of the folder \"%2\" cannot be read")
                       .arg(index)
                       .arg(displayText(folder));
    if (!known.isEmpty())
        text += QStringLiteral(" (%1)").arg(known);
    return text + u'.';
}

QString unlistedMessages(const QString& folder) {
    return QStringLiteral(" They belong to the folder \"%1\".").arg(displayText(folder));
}

QString describeRow(const std::vector<mapi::Property>& row, int codepage) {
    QStringList known;
    if (const QString subject = displaySubject(textOf(row, mapi::tags::Subject, codepage));
        !subject.isEmpty())
        known << QStringLiteral("subject \"%1\"").arg(displayText(subject));
    if (const QString from = textOf(row, mapi::tags::SenderName, codepage); !from.isEmpty())
        known << QStringLiteral("from %1").arg(displayText(from));
    for (const mapi::Property& p : row)
        if (p.id == mapi::tags::MessageDeliveryTime && p.type == mapi::PtTime &&
            p.value.size() == 8) {
            // FILETIME: 100 ns steps since 1601; 11644473600 s lie before 1970.
            const auto ticks = std::int64_t(mapi::readLe64(p.value.data()));
            const qint64 seconds = ticks / 10000000 - 11644473600LL;
            known << QStringLiteral("received %1")
                         .arg(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
                                  .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")));
        }
    return known.join(QStringLiteral(", "));
}

QString byteCount(std::uint64_t bytes) {
    return QStringLiteral("%1 bytes").arg(QLocale(QLocale::English).toString(qulonglong(bytes)));
}

QString roundedSize(std::uint64_t bytes) {
    const QLocale english(QLocale::English);
    constexpr std::uint64_t KB = 1024;
    constexpr std::uint64_t MB = KB * 1024;
    constexpr std::uint64_t GB = MB * 1024;
    if (bytes >= 10 * GB)
        return QStringLiteral("%1 GB").arg(english.toString(qulonglong((bytes + GB / 2) / GB)));
    if (bytes >= MB)
        return QStringLiteral("%1 MB").arg(english.toString(qulonglong((bytes + MB / 2) / MB)));
    if (bytes >= 10 * KB)
        return QStringLiteral("%1 KB").arg(english.toString(qulonglong((bytes + KB / 2) / KB)));
    return byteCount(bytes);
}

} // namespace talvenor::nativestore
