#include "arguments.h"

#include <QFile>

namespace talvenor::nativestore::reader {

std::optional<ReaderArguments> parseArguments(int argc, char** argv) {
    ReaderArguments a;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const QString value = arg.section(u'=', 1);
        if (arg.startsWith(u"--fd="))
            a.fd = value.toInt();
        else if (arg.startsWith(u"--parent="))
            a.parent = pid_t(value.toLongLong());
        else if (arg.startsWith(u"--resume=")) {
            a.resume.folder = value.section(u':', 0, 0).toUInt();
            a.resume.index = value.section(u':', 1).toInt();
        } else if (arg.startsWith(u"--max-record="))
            a.maxRecordSize = value.toULongLong();
        else if (arg.startsWith(u"--memory-budget="))
            a.memoryBudget = std::size_t(value.toULongLong());
        else if (arg == u"--" && i + 1 == argc - 1)
            a.path = QFile::decodeName(argv[++i]);
        else
            return std::nullopt;
    }
    if (a.fd < 0 || a.path.isEmpty())
        return std::nullopt;
    return a;
}

} // namespace talvenor::nativestore::reader
