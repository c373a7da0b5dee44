// convert_bench: converts a PST file to message files through the conversion session (native
// store and message-file writer), runs libpst's "readpst -m" on the same file, and prints the
// messages per second and peak memory of both. The last line is "ratio: X", our messages per
// second divided by readpst's.
//   convert_bench              generates a store of 20,000 messages in a temporary folder
//   convert_bench PST OUTDIR   converts that store into that folder
//   --runs N                   measures both N times, taking turns, and keeps the fastest run
//                              of each (3 for a generated store, 1 for one's own by default)
//   --same-subject N           generates instead N messages that share one subject and N/4
//                              after them without a subject (many equal file names)
//   --scale N,N,...            generates a store of each size (default 5000,50000,200000; the
//                              last lies beyond 4 GiB) and prints, for each, the time to our
//                              first message file, the messages per second and the peak memory
//                              of the program and of its reading helper, beside readpst's time
//                              and memory on the same store
// Each run starts after a sync, so that neither pays for writing back the other's files.
#include "generate.h"
#include "msgfile.h"
#include "nativestore.h"
#include "session.h"
#include "ui.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace talvenor;

namespace {

constexpr std::uint64_t GeneratedMessages = 20000;

class CountingMessages : public IMessageBox {
public:
    MessageAnswer show(const talvenor::Message& m) override {
        ++shown;
        if (shown <= 5)
            std::fprintf(stderr, "message: %s\n", m.text.toLocal8Bit().constData());
        return MessageAnswer::Ok;
    }
    int shown = 0;
};

class NoEvents : public IEventLoop {
public:
    void yield() override {}
};

class Pointer : public IPointer {
public:
    PointerMode mode() const override { return mode_; }
    void setMode(PointerMode mode) override { mode_ = mode; }

private:
    PointerMode mode_ = PointerMode::Default;
};

struct Measured {
    double seconds = 0;
    long peakKb = 0;
    int status = -1;
};

// Runs work in a child process and measures its wall time and peak resident memory.
Measured inChild(const std::function<int()>& work) {
    // Neither run pays for writing back what the other one wrote.
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = work();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "convert_bench: %s\n", e.what());
        }
        std::fflush(nullptr);
        ::_exit(rc);
    }
    Measured m;
    if (pid < 0)
        return m;
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKb = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

long countFiles(const QString& dir, const QString& pattern) {
    long n = 0;
    QDirIterator it(dir, {pattern}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

// The conversion itself, run in a fresh process so that its peak memory is its own. The report
// holds the peak memory of this process and of its reading helper (KiB) and the seconds from
// the start of the conversion to the first message file written.
int convert(const QString& pst, const QString& outDir, const QString& report) {
    nativestore::StoreOptions options;
    // The program's writer: the output folder opened once, synced when the store is detached.
    auto files = std::make_shared<msg::MessageFiles>();
    const auto started = std::chrono::steady_clock::now();
    auto firstSave = std::make_shared<double>(-1);
    options.writer = [files, firstSave, started](const mapi::Message& m, const QString& path) {
        files->save(m, path);
        if (*firstSave < 0)
            *firstSave =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    options.storeDetached = [files] { files->sync(); };
    nativestore::NativeApplicationFactory factory(std::move(options));
    CountingMessages messages;
    NoEvents events;
    Pointer pointer;
    ConversionSession session(factory, messages, events, pointer);
    session.PST2MSG(pst, outDir + "/" + QFileInfo(pst).completeBaseName() + QStringLiteral(".msg"));
    if (messages.shown)
        std::fprintf(stderr, "convert_bench: %d messages were shown\n", messages.shown);
    // The program and the child that reads the store for it, each on its own.
    struct rusage self {
    }, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    QFile out(report);
    if (out.open(QIODevice::WriteOnly))
        out.write(QByteArray::number(qint64(self.ru_maxrss)) + ' ' +
                  QByteArray::number(qint64(children.ru_maxrss)) + ' ' +
                  QByteArray::number(*firstSave, 'f', 3));
    return 0;
}

struct OurReport {
    long convertingKb = 0;
    long readerKb = 0;
    double firstSave = -1;
};

OurReport readReport(const QString& path) {
    OurReport r;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return r;
    const QList<QByteArray> parts = file.readAll().split(' ');
    if (parts.size() == 3) {
        r.convertingKb = parts[0].toLong();
        r.readerKb = parts[1].toLong();
        r.firstSave = parts[2].toDouble();
    }
    return r;
}

Measured runOurs(const QByteArray& self, const QByteArray& pst, const QByteArray& outDir,
                 const QByteArray& report) {
    return inChild([&] {
        ::execl(self.constData(), "convert_bench", "--convert-only", pst.constData(),
                outDir.constData(), report.constData(), static_cast<char*>(nullptr));
        return 127;
    });
}

Measured runReadpst(const QByteArray& readpst, const QByteArray& pst, const QByteArray& outDir) {
    return inChild([&] {
        ::execl(readpst.constData(), "readpst", "-q", "-m", "-o", outDir.constData(),
                pst.constData(), static_cast<char*>(nullptr));
        return 127;
    });
}

// Whether time to the first file and memory stay the same as the store grows.
int scale(const QList<long long>& sizes, const QString& readpst) {
    const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    const QByteArray rp = readpst.toLocal8Bit();
    std::printf("%9s %9s | %11s %9s %8s %12s %11s | %13s %9s %12s\n", "messages", "store MB",
                "ours first", "ours all", "msg/s", "program MiB", "helper MiB", "readpst first",
                "readpst", "readpst MiB");
    std::fflush(stdout);
    int status = 0;
    for (const long long n : sizes) {
        QTemporaryDir scratch;
        const QString pst = scratch.filePath("generated.pst");
        pstwriter::generateStore(pst.toStdString(), std::uint64_t(n));
        const QString ourDir = scratch.filePath("ours"), peerDir = scratch.filePath("readpst");
        QDir().mkpath(ourDir);
        QDir().mkpath(peerDir);
        const QString report = scratch.filePath("report");
        const Measured o =
            runOurs(self, pst.toLocal8Bit(), ourDir.toLocal8Bit(), report.toLocal8Bit());
        const OurReport r = readReport(report);
        // readpst's first file: watched from here, as it tells nothing of its own.
        double peerFirst = -1;
        const auto peerStart = std::chrono::steady_clock::now();
        std::atomic<bool> done{false};
        std::thread watch([&] {
            while (!done) {
                QDirIterator it(peerDir, {QStringLiteral("*.msg")}, QDir::Files,
                                QDirIterator::Subdirectories);
                if (it.hasNext()) {
                    peerFirst =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - peerStart)
                            .count();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        const Measured p = runReadpst(rp, pst.toLocal8Bit(), peerDir.toLocal8Bit());
        done = true;
        watch.join();
        std::printf("%9lld %9lld | %9.2f s %7.2f s %8.0f %12.1f %11.1f | %11.2f s %7.2f s %12.1f\n",
                    n, QFileInfo(pst).size() / 1000000, r.firstSave, o.seconds,
                    o.seconds > 0 ? double(countFiles(ourDir, "*.msg")) / o.seconds : 0.0,
                    r.convertingKb / 1024.0, r.readerKb / 1024.0, peerFirst, p.seconds,
                    p.peakKb / 1024.0);
        std::fflush(stdout);
        if (o.status != 0 || p.status != 0)
            status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--convert-only") == 0)
        return convert(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                       QString::fromLocal8Bit(argv[4]));
    QStringList args = app.arguments().mid(1);
    int runs = 0;
    long long sameSubject = -1;
    QList<long long> scaleSizes;
    bool optionsOk = true;
    if (args.size() == 1 && args[0] == QLatin1String("--scale"))
        args.push_back(QStringLiteral("5000,50000,200000"));
    while (args.size() >= 2 && args[0].startsWith(QLatin1String("--"))) {
        bool ok = false;
        if (args[0] == QLatin1String("--runs"))
            runs = args[1].toInt(&ok);
        else if (args[0] == QLatin1String("--same-subject"))
            sameSubject = args[1].toLongLong(&ok);
        else if (args[0] == QLatin1String("--scale")) {
            ok = true;
            for (const QString& part : args[1].split(u',', Qt::SkipEmptyParts)) {
                bool one = false;
                scaleSizes.push_back(part.toLongLong(&one));
                ok = ok && one && scaleSizes.back() > 0;
            }
        }
        optionsOk = optionsOk && ok;
        args = args.mid(2);
    }
    if (!optionsOk || (args.size() != 0 && args.size() != 2) || runs < 0 ||
        (sameSubject >= 0 && !args.isEmpty()) || sameSubject == 0) {
        std::fprintf(stderr, "usage: convert_bench [--runs N] [--same-subject N | PST OUTDIR]\n"
                             "       convert_bench --scale [N,N,...]\n");
        return 2;
    }
    // A generated store is measured three times by default, a store of one's own once.
    if (runs == 0)
        runs = args.isEmpty() ? 3 : 1;
    const QString readpst = QStandardPaths::findExecutable("readpst");
    if (readpst.isEmpty()) {
        std::fprintf(stderr, "convert_bench: readpst (Debian pst-utils) is missing\n");
        return 1;
    }
    if (!scaleSizes.isEmpty())
        return scale(scaleSizes, readpst);
    QTemporaryDir scratch;
    QString pst, outDir;
    if (args.size() == 2) {
        pst = QFileInfo(args[0]).absoluteFilePath();
        outDir = QFileInfo(args[1]).absoluteFilePath();
    } else {
        pst = scratch.filePath("generated.pst");
        outDir = scratch.filePath("ours-1");
        pstwriter::SubjectMix subjects;
        std::uint64_t messages = GeneratedMessages;
        if (sameSubject > 0) {
            subjects.same = std::uint64_t(sameSubject);
            subjects.none = subjects.same / 4;
            messages = subjects.same + subjects.none;
            std::printf("generating %llu messages with one subject and %llu without ...\n",
                        (unsigned long long)subjects.same, (unsigned long long)subjects.none);
        } else {
            std::printf("generating %llu messages ...\n", (unsigned long long)messages);
        }
        std::fflush(stdout);
        const auto stats = pstwriter::generateStore(pst.toStdString(), messages, {}, 1, subjects);
        std::printf("generated %llu messages, %llu attachments, %lld bytes\n",
                    (unsigned long long)stats.messages, (unsigned long long)stats.attachments,
                    (long long)QFileInfo(pst).size());
    }
    if (runs > 1)
        std::printf("best of %d runs, taking turns; every run writes into a folder of its own "
                    "(deleting many files slows the next ones down)\n",
                    runs);
    std::fflush(stdout);

    const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    const QByteArray rp = readpst.toLocal8Bit(), in = pst.toLocal8Bit();
    const QByteArray report = scratch.filePath("memory").toLocal8Bit();
    struct Side {
        long files = 0;
        double seconds = 0; // of the fastest run
        long peakKb = 0;    // of all runs
        int status = 0;
        double rate() const { return seconds > 0 ? files / seconds : 0; }
        void take(const Measured& m, long count) {
            if (seconds == 0 || m.seconds < seconds) {
                seconds = m.seconds;
                files = count;
            }
            peakKb = std::max(peakKb, m.peakKb);
            if (m.status != 0)
                status = m.status;
        }
    } ours, peer;
    long convertingKb = 0, readerKb = 0;

    for (int run = 1; run <= runs; ++run) {
        const QString ourDir =
            run == 1 ? outDir : scratch.filePath(QStringLiteral("ours-%1").arg(run));
        const QString peerDir = scratch.filePath(QStringLiteral("readpst-%1").arg(run));
        QDir().mkpath(ourDir);
        QDir().mkpath(peerDir);
        const QByteArray ourOut = ourDir.toLocal8Bit(), peerOut = peerDir.toLocal8Bit();
        const Measured o = runOurs(self, in, ourOut, report);
        ours.take(o, countFiles(ourDir, "*.msg"));
        const OurReport r = readReport(QString::fromLocal8Bit(report));
        convertingKb = std::max(convertingKb, r.convertingKb);
        readerKb = std::max(readerKb, r.readerKb);
        const Measured p = runReadpst(rp, in, peerOut);
        peer.take(p, countFiles(peerDir, "*.msg"));
        if (runs > 1)
            std::printf("run %d: ours %.2f s, readpst %.2f s\n", run, o.seconds, p.seconds);
        std::fflush(stdout);
    }

    std::printf("ours:    %ld messages in %.2f s = %.0f messages/s, peak RSS %ld KiB (exit %d)\n",
                ours.files, ours.seconds, ours.rate(), ours.peakKb, ours.status);
    std::printf("         of which the converting process %ld KiB, the child reading the store "
                "%ld KiB\n",
                convertingKb, readerKb);
    std::printf("readpst: %ld messages in %.2f s = %.0f messages/s, peak RSS %ld KiB (exit %d)\n",
                peer.files, peer.seconds, peer.rate(), peer.peakKb, peer.status);
    std::printf("ratio: %.2f\n", peer.rate() > 0 ? ours.rate() / peer.rate() : 0.0);
    std::fflush(stdout); // before the scratch folder is cleared away, which takes a while
    return ours.status == 0 && peer.status == 0 ? 0 : 1;
}
