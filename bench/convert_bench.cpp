// convert_bench: converts a PST file to message files through the conversion session (native
// store and message-file writer), runs libpst's "readpst -m" on the same file, and prints the
// messages per second and peak memory of both. The last line is "ratio: X", our messages per
// second divided by readpst's.
//   convert_bench              generates a store of 20,000 messages in a temporary folder
//   convert_bench PST OUTDIR   converts that store into that folder
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

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
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

} // namespace

// The conversion itself, run in a fresh process so that its peak memory is its own.
int convert(const QString& pst, const QString& outDir, const QString& report) {
    nativestore::StoreOptions options;
    options.writer = [](const mapi::Message& m, const QString& path) { msg::writeMsg(m, path); };
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
                  QByteArray::number(qint64(children.ru_maxrss)));
    return 0;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--convert-only") == 0)
        return convert(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                       QString::fromLocal8Bit(argv[4]));
    if (argc != 1 && argc != 3) {
        std::fprintf(stderr, "usage: convert_bench [PST OUTDIR]\n");
        return 2;
    }
    const QString readpst = QStandardPaths::findExecutable("readpst");
    if (readpst.isEmpty()) {
        std::fprintf(stderr, "convert_bench: readpst (Debian pst-utils) is missing\n");
        return 1;
    }
    QTemporaryDir scratch;
    QString pst, outDir;
    if (argc == 3) {
        pst = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
        outDir = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    } else {
        pst = scratch.filePath("generated.pst");
        outDir = scratch.filePath("ours");
        std::printf("generating %llu messages ...\n", (unsigned long long)GeneratedMessages);
        std::fflush(stdout);
        const auto stats = pstwriter::generateStore(pst.toStdString(), GeneratedMessages);
        std::printf("generated %llu messages, %llu attachments, %lld bytes\n",
                    (unsigned long long)stats.messages, (unsigned long long)stats.attachments,
                    (long long)QFileInfo(pst).size());
    }
    QDir().mkpath(outDir);
    const QString peerDir = scratch.filePath("readpst");
    QDir().mkpath(peerDir);

    const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    const QByteArray rp = readpst.toLocal8Bit(), in = pst.toLocal8Bit();
    const QByteArray ourOut = outDir.toLocal8Bit(), peerOut = peerDir.toLocal8Bit();
    const QByteArray report = scratch.filePath("memory").toLocal8Bit();
    const Measured ours = inChild([&] {
        ::execl(self.constData(), "convert_bench", "--convert-only", in.constData(),
                ourOut.constData(), report.constData(), static_cast<char*>(nullptr));
        return 127;
    });
    const long ourFiles = countFiles(outDir, "*.msg");

    const Measured peer = inChild([&] {
        ::execl(rp.constData(), "readpst", "-q", "-m", "-o", peerOut.constData(), in.constData(),
                static_cast<char*>(nullptr));
        return 127;
    });
    const long peerFiles = countFiles(peerDir, "*.msg");

    const double ourRate = ours.seconds > 0 ? ourFiles / ours.seconds : 0;
    const double peerRate = peer.seconds > 0 ? peerFiles / peer.seconds : 0;
    std::printf("ours:    %ld messages in %.2f s = %.0f messages/s, peak RSS %ld KiB (exit %d)\n",
                ourFiles, ours.seconds, ourRate, ours.peakKb, ours.status);
    QFile memory(QString::fromLocal8Bit(report));
    if (memory.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> kb = memory.readAll().split(' ');
        if (kb.size() == 2)
            std::printf("         of which the converting process %s KiB, the child reading the "
                        "store %s KiB\n",
                        kb[0].constData(), kb[1].constData());
    }
    std::printf("readpst: %ld messages in %.2f s = %.0f messages/s, peak RSS %ld KiB (exit %d)\n",
                peerFiles, peer.seconds, peerRate, peer.peakKb, peer.status);
    std::printf("ratio: %.2f\n", peerRate > 0 ? ourRate / peerRate : 0.0);
    return ours.status == 0 && peer.status == 0 ? 0 : 1;
}
