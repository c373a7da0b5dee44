// A reading helper for tests only: the shipped helper's library with faults it is told to show
// (--faults=name,name=value,...), so that the program's answers to them can be tried. The
// shipped talvenor-reader takes no such argument.
#include <readerloop.h>

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <new>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace talvenor::nativestore;

namespace {

struct Faults {
    int crashAt = 0;    // raises SIGSEGV before item n of each folder
    int hangAt = 0;     // stops answering before item n
    int badAllocAt = 0; // runs out of memory before item n
    bool crashOpening = false;
    bool hangOpening = false;
    QString holdOpening;            // waits until this file exists before it opens the store
    QString logItems;               // appends its process id for every item it reads
    int reopenDelayMs = 0;          // a helper that goes on after an item opens this slowly
    std::uint64_t addressLimit = 0; // RLIMIT_AS
    // Before item n, a long scan of the file: `scanSteps` steps of half a second each by the
    // clock kept in `clockFile` (one byte a step), during which the reader's progress hook is
    // called at every step, or never (silent-scan-at, which then scans on for good).
    int scanAt = 0;
    int silentScanAt = 0;
    int scanSteps = 20;
    QString clockFile;

    static Faults parse(const QString& spec) {
        Faults f;
        for (const QString& part : spec.split(u',', Qt::SkipEmptyParts)) {
            const QString name = part.section(u'=', 0, 0);
            const QString value = part.section(u'=', 1);
            if (name == u"crash-at")
                f.crashAt = value.toInt();
            else if (name == u"hang-at")
                f.hangAt = value.toInt();
            else if (name == u"bad-alloc-at")
                f.badAllocAt = value.toInt();
            else if (name == u"crash-opening")
                f.crashOpening = true;
            else if (name == u"hang-opening")
                f.hangOpening = true;
            else if (name == u"hold-opening")
                f.holdOpening = value;
            else if (name == u"log-items")
                f.logItems = value;
            else if (name == u"reopen-delay-ms")
                f.reopenDelayMs = value.toInt();
            else if (name == u"address-limit")
                f.addressLimit = value.toULongLong();
            else if (name == u"scan-at")
                f.scanAt = value.toInt();
            else if (name == u"silent-scan-at")
                f.silentScanAt = value.toInt();
            else if (name == u"scan-steps")
                f.scanSteps = value.toInt();
            else if (name == u"clock-file")
                f.clockFile = value;
        }
        return f;
    }
};

[[noreturn]] void crash() {
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
    ::_exit(99);
}

[[noreturn]] void hang() {
    for (;;)
        ::pause();
}

// Half a second for every byte of the file: time that passes only as the test's helper says.
std::chrono::steady_clock::time_point fileClock(const QString& file) {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(500) *
                                                 QFileInfo(file).size());
}

void tick(const QString& file) {
    QFile f(file);
    if (f.open(QIODevice::Append))
        f.write("s", 1);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> passed;
    QString spec;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && QByteArray(argv[i]).startsWith("--faults="))
            spec = QString::fromLocal8Bit(argv[i] + 9);
        else
            passed.push_back(argv[i]);
    }
    passed.push_back(nullptr);
    const Faults faults = Faults::parse(spec);
    if (faults.addressLimit != 0) {
        const rlimit limit{faults.addressLimit, faults.addressLimit};
        ::setrlimit(RLIMIT_AS, &limit);
    }

    reader::ReaderHooks hooks;
    hooks.beforeOpening = [&faults](bool resumed) {
        if (faults.crashOpening)
            crash();
        if (faults.hangOpening)
            hang();
        if (resumed && faults.reopenDelayMs > 0)
            ::usleep(useconds_t(faults.reopenDelayMs) * 1000);
        if (!faults.holdOpening.isEmpty())
            while (!QFileInfo::exists(faults.holdOpening))
                ::usleep(10 * 1000);
    };
    hooks.beforeItem = [&faults](int index, Producer& producer) {
        if (!faults.logItems.isEmpty()) {
            QFile log(faults.logItems);
            if (log.open(QIODevice::Append))
                log.write(QByteArray::number(qint64(::getpid())) + '\n');
        }
        if (index == faults.crashAt)
            crash();
        if (index == faults.hangAt)
            hang();
        if (index == faults.badAllocAt)
            throw std::bad_alloc();
        if (index == faults.scanAt || index == faults.silentScanAt) {
            for (int step = 0; step < faults.scanSteps; ++step) {
                tick(faults.clockFile);
                if (index == faults.scanAt)
                    producer.stillAtWork(); // as the reader calls it from inside a scan
            }
            // Silent, it goes on scanning for good: time passes, and only the program's
            // patience can end it.
            while (index == faults.silentScanAt) {
                tick(faults.clockFile);
                ::usleep(10 * 1000);
            }
        }
    };
    if (!faults.clockFile.isEmpty())
        hooks.clock = [file = faults.clockFile] { return fileClock(file); };
    return reader::readerMain(int(passed.size()) - 1, passed.data(), hooks);
}
