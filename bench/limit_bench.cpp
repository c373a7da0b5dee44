// limit_bench: how close a conversion comes to what merely creating and writing its files costs
// on the same disk. Generates a store of 20,000 messages, converts it with the real command
// line (talvenor-convert, beside this program), then copies our output tree with "cp -r" on the
// same file system; each run ends with a sync and starts after one, and the two take turns
// (best of three by default). Prints the wall time and the CPU time (user and system, the
// reading helper included) of both, and after them libpff's pffexport and libpst's
// "readpst -m" on the same store, once each, as peers. The last line is "limit ratio: X", our
// best wall time divided by the copy's.
//   limit_bench                  a generated store of 20,000 messages, in a temporary folder
//   limit_bench --messages N     a generated store of N messages
//   limit_bench --runs N         N turns of both
//   limit_bench --no-peers       leaves readpst and pffexport out
//   limit_bench --dir DIR        works in DIR (the disk to measure) instead of the temporary
//                                folder
// Every run writes into a folder of its own and nothing is deleted until the end: a file system
// that has just deleted many files is slower to create the next ones.
#include "generate.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace talvenor;

namespace {

struct Measured {
    double seconds = 0;
    double user = 0;
    double system = 0;
    int status = -1;
    bool better(const Measured& other) const { return status == 0 && seconds < other.seconds; }
};

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// Runs the command with its output thrown away, then sync, and measures both together; the
// CPU time is the command's with every process it waited for.
Measured timed(const std::vector<QByteArray>& command) {
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (const QByteArray& a : command)
            argv.push_back(const_cast<char*>(a.constData()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Measured m;
    if (pid < 0)
        return m;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    ::sync();
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.user = seconds(usage.ru_utime);
    m.system = seconds(usage.ru_stime);
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

long countFiles(const QString& dir) {
    long n = 0;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

void print(const char* what, const Measured& m, long files) {
    std::printf("%-10s %7.2f s   user %6.2f s   system %6.2f s   %6ld files   exit %d\n", what,
                m.seconds, m.user, m.system, files, m.status);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    long long messages = 20000;
    int runs = 3;
    bool peers = true;
    QString dir;
    bool ok = true;
    while (ok && !args.isEmpty()) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--no-peers"))
            peers = false;
        else if (option == QLatin1String("--messages") && !args.isEmpty())
            messages = args.takeFirst().toLongLong(&ok);
        else if (option == QLatin1String("--runs") && !args.isEmpty())
            runs = args.takeFirst().toInt(&ok);
        else if (option == QLatin1String("--dir") && !args.isEmpty())
            dir = args.takeFirst();
        else
            ok = false;
    }
    if (!ok || messages <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: limit_bench [--messages N] [--runs N] [--no-peers] "
                             "[--dir DIR]\n");
        return 2;
    }
    const QString convert = QCoreApplication::applicationDirPath() + "/talvenor-convert";
    const QString cp = QStandardPaths::findExecutable("cp");
    if (!QFileInfo(convert).isExecutable() || cp.isEmpty()) {
        std::fprintf(stderr, "limit_bench: %s or cp is missing\n", qPrintable(convert));
        return 1;
    }
    QTemporaryDir scratch(dir.isEmpty() ? QDir::tempPath() + "/limit_bench-XXXXXX"
                                        : QDir(dir).absoluteFilePath("limit_bench-XXXXXX"));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "limit_bench: cannot make a folder to work in\n");
        return 1;
    }
    const QString pst = scratch.filePath("generated.pst");
    std::printf("generating %lld messages in %s ...\n", messages, qPrintable(scratch.path()));
    std::fflush(stdout);
    pstwriter::generateStore(pst.toStdString(), std::uint64_t(messages));

    Measured ours, copy;
    long ourFiles = 0, copiedFiles = 0;
    for (int run = 1; run <= runs; ++run) {
        const QString out = scratch.filePath(QStringLiteral("ours-%1").arg(run));
        const QString copied = scratch.filePath(QStringLiteral("copy-%1").arg(run));
        QDir().mkpath(out);
        const Measured o =
            timed({convert.toLocal8Bit(), "-o", out.toLocal8Bit(), pst.toLocal8Bit()});
        const Measured c = timed({cp.toLocal8Bit(), "-r", out.toLocal8Bit(), copied.toLocal8Bit()});
        std::printf("run %d: ours %.2f s, copy %.2f s\n", run, o.seconds, c.seconds);
        std::fflush(stdout);
        if (run == 1 || o.better(ours))
            ours = o, ourFiles = countFiles(out);
        if (run == 1 || c.better(copy))
            copy = c, copiedFiles = countFiles(copied);
    }
    print("ours", ours, ourFiles);
    print("copy", copy, copiedFiles);
    if (peers) {
        const QString readpst = QStandardPaths::findExecutable("readpst");
        const QString pffexport = QStandardPaths::findExecutable("pffexport");
        if (!pffexport.isEmpty()) {
            const QString target = scratch.filePath("pffexport");
            const Measured p = timed(
                {pffexport.toLocal8Bit(), "-q", "-t", target.toLocal8Bit(), pst.toLocal8Bit()});
            print("pffexport", p, countFiles(target + ".export"));
        }
        if (!readpst.isEmpty()) {
            const QString target = scratch.filePath("readpst");
            QDir().mkpath(target);
            const Measured p = timed(
                {readpst.toLocal8Bit(), "-q", "-m", "-o", target.toLocal8Bit(), pst.toLocal8Bit()});
            print("readpst", p, countFiles(target));
        }
    }
    std::printf("system time per message: ours %.1f us, copy %.1f us (%.2f times)\n",
                ours.system / double(messages) * 1e6, copy.system / double(messages) * 1e6,
                copy.system > 0 ? ours.system / copy.system : 0.0);
    std::printf("limit ratio: %.2f\n", copy.seconds > 0 ? ours.seconds / copy.seconds : 0.0);
    std::fflush(stdout); // before the scratch folder is cleared away, which takes a while
    return ours.status == 0 && copy.status == 0 ? 0 : 1;
}
