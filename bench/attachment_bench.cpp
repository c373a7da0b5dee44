// attachment_bench: the memory one large attachment costs. Generates a store holding one
// message with one attachment of the given size, converts it with the real command line
// (talvenor-convert, beside this program) and prints the peak resident memory of the program
// and of its reading helper, each against the attachment's size. The last line is
// "ratio: X", the larger of the two peaks divided by the attachment's size.
//   attachment_bench            an attachment of 300 MiB
//   attachment_bench --mib N    an attachment of N MiB
// The peaks are the kernel's high-water marks (VmHWM) of both processes, read every few
// milliseconds while they run; a helper started anew counts with the largest of them.
#include "pstwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace talvenor;

namespace {

// Bytes that do not compress and that the check after the run can recompute.
mapi::Bytes attachmentBytes(std::size_t size) {
    mapi::Bytes out(size);
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(out.data() + i, &x, std::min<std::size_t>(8, size - i));
    }
    return out;
}

void generate(const QString& path, std::size_t size) {
    pstwriter::Writer writer(path.toStdString());
    const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox", u"IPF.Note",
                                        pstwriter::SpecialFolder::Inbox);
    mapi::Message m;
    m.setString8(mapi::tags::MessageClass, "IPM.Note");
    pstwriter::build::setSubject(m, u"One large attachment");
    m.setUnicode(mapi::tags::Body, u"The attachment is large.");
    pstwriter::build::addAttachment(m, u"large.bin", "application/octet-stream",
                                    attachmentBytes(size));
    writer.addMessage(inbox, m);
    writer.finish();
}

// The high-water mark of a process in KiB, or -1 once it is gone.
long highWaterKb(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> out;
    QDirIterator tasks(QStringLiteral("/proc/%1/task").arg(pid), QDir::Dirs | QDir::NoDotAndDotDot);
    while (tasks.hasNext()) {
        QFile children(tasks.next() + QStringLiteral("/children"));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& id : children.readAll().split(' '))
            if (const long n = id.trimmed().toLong(); n > 0)
                out.push_back(pid_t(n));
    }
    return out;
}

struct Peaks {
    long programKb = 0;
    long helperKb = 0;
    int status = -1;
};

Peaks convert(const QString& program, const QString& pst, const QString& outDir) {
    Peaks peaks;
    const QByteArray exe = program.toLocal8Bit(), in = pst.toLocal8Bit(),
                     out = outDir.toLocal8Bit();
    const pid_t pid = ::fork();
    if (pid < 0)
        return peaks;
    if (pid == 0) {
        ::execl(exe.constData(), "talvenor-convert", "-o", out.constData(), in.constData(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::map<pid_t, long> helpers;
    int status = 0;
    for (;;) {
        peaks.programKb = std::max(peaks.programKb, highWaterKb(pid));
        for (const pid_t child : childrenOf(pid))
            helpers[child] = std::max(helpers[child], highWaterKb(child));
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (const auto& [child, kb] : helpers)
        peaks.helperKb = std::max(peaks.helperKb, kb);
    peaks.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return peaks;
}

// The attachment's bytes are somewhere in the one file written, whole.
bool written(const QString& outDir, const mapi::Bytes& expected) {
    QDirIterator it(outDir, {QStringLiteral("*.msg")}, QDir::Files);
    if (!it.hasNext())
        return false;
    QFile file(it.next());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray all = file.readAll();
    const QByteArray head(reinterpret_cast<const char*>(expected.data()), 4096);
    const qsizetype at = all.indexOf(head);
    return at >= 0 && all.size() - at >= qsizetype(expected.size()) &&
           std::memcmp(all.constData() + at, expected.data(), expected.size()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::size_t mib = 300;
    if (argc == 3 && std::strcmp(argv[1], "--mib") == 0)
        mib = std::size_t(std::max(1L, std::atol(argv[2])));
    else if (argc != 1) {
        std::fprintf(stderr, "usage: attachment_bench [--mib N]\n");
        return 2;
    }
    const QString program = QCoreApplication::applicationDirPath() + "/talvenor-convert";
    if (!QFileInfo(program).isExecutable()) {
        std::fprintf(stderr, "attachment_bench: %s is missing\n", qPrintable(program));
        return 1;
    }
    QTemporaryDir scratch;
    const QString pst = scratch.filePath("large.pst"), outDir = scratch.filePath("out");
    QDir().mkpath(outDir);
    const std::size_t size = mib << 20;
    std::printf("generating a store with one attachment of %zu MiB ...\n", mib);
    std::fflush(stdout);
    generate(pst, size);
    std::printf("store: %lld bytes\n", (long long)QFileInfo(pst).size());
    std::fflush(stdout);

    const Peaks peaks = convert(program, pst, outDir);
    const bool whole = written(outDir, attachmentBytes(size));
    const double sizeKb = double(size) / 1024;
    std::printf("talvenor-convert exit %d, attachment %s\n", peaks.status,
                whole ? "written whole" : "NOT written whole");
    std::printf("attachment:  %9.1f MiB\n", sizeKb / 1024);
    std::printf("program:     %9.1f MiB peak = %.2f x the attachment\n", peaks.programKb / 1024.0,
                peaks.programKb / sizeKb);
    std::printf("helper:      %9.1f MiB peak = %.2f x the attachment\n", peaks.helperKb / 1024.0,
                peaks.helperKb / sizeKb);
    std::printf("ratio: %.2f\n", double(std::max(peaks.programKb, peaks.helperKb)) / sizeKb);
    std::fflush(stdout);
    return peaks.status == 0 && whole ? 0 : 1;
}
