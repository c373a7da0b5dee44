// pstread_bench: our own PST reader against libpff, each reading every message of the same
// generated store whole (properties, recipients, attachments) in a process of its own.
// Prints time and peak memory of both, best of N interleaved runs; the last line is
// "ratio: X", our time divided by libpff's.
//   pstread_bench [--messages N] [--runs N] [PST]
#include "pffreader.h"

#include <generate.h>
#include <pststore.h>

#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

using namespace talvenor;

namespace {

struct Measured {
    double seconds = 0;
    long peakKb = 0;
    bool ok = false;
};

Measured inChild(const std::function<std::size_t()>& work, const char* who) {
    std::fflush(nullptr); // the child must not print the parent's buffered lines again
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 1;
        try {
            const std::size_t n = work();
            std::printf("  %s read %zu messages\n", who, n);
            rc = 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "pstread_bench: %s: %s\n", who, e.what());
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
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

// Touches every value so that nothing read can be skipped.
std::size_t weigh(const mapi::PropertyBag& bag) {
    std::size_t n = 0;
    for (const auto& p : bag.props) {
        n += p.value.size();
        for (const auto& v : p.values)
            n += v.size();
    }
    return n;
}

std::size_t weighMessage(const mapi::Message& m) {
    std::size_t n = weigh(m);
    for (const auto& r : m.recipients)
        n += weigh(r);
    for (const auto& a : m.attachments)
        n += weigh(a) + (a.embedded ? weighMessage(*a.embedded) : 0);
    return n;
}

std::size_t weighRead(const pstwriter::test::ReadMessage& m) {
    std::size_t n = weigh(m.props);
    for (const auto& r : m.recipients)
        n += weigh(r);
    for (const auto& a : m.attachments)
        n += weigh(a.props) + a.data.size() + (a.embedded ? weighRead(*a.embedded) : 0);
    return n;
}

std::size_t readOurs(const std::string& path) {
    const pst::Store store = pst::Store::openFile(path);
    std::size_t messages = 0, bytes = 0;
    std::vector<std::uint32_t> pending{pst::kNidRootFolder};
    while (!pending.empty()) {
        const std::uint32_t nid = pending.back();
        pending.pop_back();
        for (std::uint32_t m : store.messages(nid)) {
            bytes += weighMessage(store.message(m));
            ++messages;
        }
        for (std::uint32_t sub : store.subfolders(nid))
            pending.push_back(sub);
    }
    return bytes > 0 ? messages : 0;
}

std::size_t readLibpff(const std::string& path) {
    std::size_t bytes = 0;
    const std::size_t messages = pstwriter::test::forEachPstMessage(
        path, [&](const pstwriter::test::ReadMessage& m) { bytes += weighRead(m); });
    return bytes > 0 ? messages : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t count = 20000;
    int runs = 3;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--messages") && i + 1 < argc)
            count = std::stoull(argv[++i]);
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            path = argv[i];
    }
    QTemporaryDir dir;
    if (path.empty()) {
        path = dir.filePath("bench.pst").toStdString();
        std::printf("generating a store of %llu messages...\n", (unsigned long long)count);
        const Measured g =
            inChild([&] { return std::size_t(pstwriter::generateStore(path, count).messages); },
                    "the writer");
        if (!g.ok)
            return 1;
    }
    Measured ours, theirs;
    for (int r = 0; r < runs; ++r) {
        const Measured a = inChild([&] { return readOurs(path); }, "our reader");
        const Measured b = inChild([&] { return readLibpff(path); }, "libpff");
        if (!a.ok || !b.ok)
            return 1;
        if (r == 0 || a.seconds < ours.seconds)
            ours.seconds = a.seconds;
        if (r == 0 || b.seconds < theirs.seconds)
            theirs.seconds = b.seconds;
        ours.peakKb = std::max(ours.peakKb, a.peakKb);
        theirs.peakKb = std::max(theirs.peakKb, b.peakKb);
    }
    std::printf("our reader: %.2f s, peak %.1f MiB\n", ours.seconds, ours.peakKb / 1024.0);
    std::printf("libpff:     %.2f s, peak %.1f MiB\n", theirs.seconds, theirs.peakKb / 1024.0);
    std::printf("memory ratio: %.2f\n", double(ours.peakKb) / double(theirs.peakKb));
    std::printf("ratio: %.2f\n", ours.seconds / theirs.seconds);
    return 0;
}
