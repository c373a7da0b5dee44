#include "paths.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace talvenor::paths {

QChar separator(Flavour f) { return f == Flavour::Windows ? QLatin1Char('\\') : QLatin1Char('/'); }

QString getFileName(const QString& path, Flavour f) {
    return path.mid(path.lastIndexOf(separator(f)) + 1);
}

QString getFolderPath(const QString& path, Flavour f) {
    return path.left(path.lastIndexOf(separator(f)) + 1);
}

QString removeExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 1 ? name.left(dot) : name;
}

namespace {
// One pass from the left: each non-overlapping pair of separators becomes one.
QString reducePairs(QStringView text, QChar sep) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out.append(text[i]);
        if (text[i] == sep && i + 1 < text.size() && text[i + 1] == sep)
            ++i;
    }
    return out;
}
} // namespace

QString fixSlashes(const QString& path, Flavour f) {
    const QChar sep = separator(f);
    if (path.isEmpty() || path[0] != sep)
        return reducePairs(path, sep);
    qsizetype k = 0;
    while (k < path.size() && path[k] == sep)
        ++k;
    const QString prefix = f == Flavour::Windows ? QString(2, sep) : QString(1, sep);
    return prefix + reducePairs(QStringView(path).mid(k), sep);
}

bool isFolder(const QString& path) {
    if (path.isEmpty())
        return false;
    return QFileInfo(path).isDir();
}

QString programFolder() {
    return QCoreApplication::applicationDirPath();
}

} // namespace talvenor::paths
