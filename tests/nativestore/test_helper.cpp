// The reading helper as a process of its own, tried as a user's machine treats it: killed from
// outside, short of memory, stalled, and left behind by a program that was killed.
#include "generatedstore.h"

#include "faultyreader.h"
#include <failure.h>

#include <helperprocess.h>
#include <nativestore.h>
#include <session.h>
#if TALVENOR_HAVE_MSGWRITER
#include <msgfile.h>
#endif

#include <recorders.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <poll.h>
#include <random>
#include <set>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace talvenor;
using namespace talvenor::nativestore;

namespace {

constexpr int StoreSize = 5000;

// The reading helpers this process (or the given one) has started.
std::vector<pid_t> helpersOf(pid_t parent) {
    std::vector<pid_t> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        std::ifstream stat("/proc/" + entry.toStdString() + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(talvenor-reader)") == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z')
            found.push_back(pid);
    }
    return found;
}

class GeneratedStoreFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir;
        talvenor::testing::writeLargeFolderStore(store().toStdString(), StoreSize);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static QString store() { return dir_->filePath(QStringLiteral("five thousand.pst")); }

    struct Run {
        std::set<QString> written;
        QStringList reports;
    };
    // Converts the store with the options; `onWrite` runs before each message is written.
    static Run convert(StoreOptions options, const std::function<void(int)>& onWrite = {}) {
        Run run;
        options.writer = [&](const mapi::Message&, const QString& path) {
            if (onWrite)
                onWrite(int(run.written.size()) + 1);
            run.written.insert(path);
        };
        talvenor::testing::RecordingMessageBox messages;
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::RecordingPointer pointer;
        {
            NativeApplicationFactory factory(options);
            ConversionSession(factory, messages, events, pointer)
                .PST2MSG(store(), dir_->filePath(QStringLiteral("out/x.msg")));
        }
        run.reports = messages.texts();
        return run;
    }

    static inline QTemporaryDir* dir_ = nullptr;
};

TEST_F(GeneratedStoreFixture, AHelperKilledFromOutsideTwentyTimesCostsNothing) {
    // Twenty items spread over the first half of the store, at a seeded random place each. The
    // helper reads ahead by what the socket holds, and the program goes on with what it has
    // received for a while after a kill, with no helper yet: a kill that finds none waits for
    // the next item that has one (a fresh helper starts once the received items run out).
    std::mt19937 random(20261208);
    std::set<int> killAt;
    for (int slot = 0; slot < 20; ++slot)
        killAt.insert(slot * (StoreSize / 40) + 1 + int(random() % 50));
    int killed = 0, pending = 0;
    const Run run = convert({}, [&](int n) {
        pending += int(killAt.count(n));
        if (pending == 0)
            return;
        for (const pid_t helper : helpersOf(::getpid()))
            if (pending > 0 && ::kill(helper, SIGKILL) == 0) {
                ++killed;
                --pending;
            }
    });
    EXPECT_EQ(killed, 20);
    EXPECT_EQ(run.written.size(), std::size_t(StoreSize));
    EXPECT_TRUE(run.reports.isEmpty()) << run.reports.join(QStringLiteral("|")).toStdString();
}

TEST_F(GeneratedStoreFixture, AHelperShortOfMemoryEndsInReportsOrEverythingWrittenNeverACrash) {
    for (const char* limit : {"16000000", "48000000", "64000000", "75000000", "200000000"}) {
        SCOPED_TRACE(limit);
        StoreOptions options;
        options = talvenor::testing::withFaults(options, QStringLiteral("address-limit=") +
                                                             QString::fromLatin1(limit));
        Run run;
        try {
            run = convert(options);
        } catch (const std::exception& e) {
            FAIL() << "the program itself failed: " << e.what();
        }
        std::printf("address limit %s: %zu written, %lld reports%s%s\n", limit, run.written.size(),
                    qsizetype(run.reports.size()), run.reports.isEmpty() ? "" : ", first: ",
                    run.reports.isEmpty() ? "" : qPrintable(run.reports.first()));
        EXPECT_TRUE(run.written.size() == std::size_t(StoreSize) || !run.reports.isEmpty());
        EXPECT_LE(run.written.size(), std::size_t(StoreSize));
    }
}

TEST_F(GeneratedStoreFixture, AnItemThatRunsTheHelperOutOfMemoryIsReportedAsSuchAndNothingElse) {
    StoreOptions options;
    options = talvenor::testing::withFaults(options, QStringLiteral("bad-alloc-at=17"));
    const Run run = convert(options);
    EXPECT_EQ(run.written.size(), std::size_t(StoreSize - 1));
    // Every report (the walk may report one item more than once) is about that item.
    ASSERT_FALSE(run.reports.isEmpty());
    for (const QString& report : run.reports) {
        EXPECT_TRUE(report.contains(QStringLiteral("item 17 of a folder failed twice")))
            << report.toStdString();
        EXPECT_TRUE(report.contains(QStringLiteral("ran out of memory"))) << report.toStdString();
    }
}

TEST_F(GeneratedStoreFixture, AStalledHelperIsStoppedAfterItsSilenceAndTheRestIsWritten) {
    StoreOptions options;
    options.itemSilence = std::chrono::seconds(1); // the helper hangs for good, not for a while
    options = talvenor::testing::withFaults(options, QStringLiteral("hang-at=4000"));
    const Run run = convert(options);
    EXPECT_EQ(run.written.size(), std::size_t(StoreSize - 1));
    ASSERT_FALSE(run.reports.isEmpty());
    for (const QString& report : run.reports)
        EXPECT_TRUE(report.contains(QStringLiteral("item 4000 of a folder failed twice: the "
                                                   "reading helper did not answer for 1 s")))
            << report.toStdString();
}

// A damaged store that needs a scan of the whole file, or a slow disk, keeps the helper busy
// inside the reader for longer than an item may take: its progress keeps it from being taken
// for stalled. Time passes only as the helper scans (half a second a step, by a clock both
// sides read), so the outcome does not depend on how fast the machine is.
TEST_F(GeneratedStoreFixture, AHelperInsideALongScanIsNotTakenForStalled) {
    struct Case {
        const char* fault;
        std::size_t written;
        const char* reported; // nullptr: nothing
    };
    const Case cases[] = {
        // Ten seconds of scanning against three of silence allowed.
        {"scan-at", std::size_t(StoreSize), nullptr},
        // The same scan without progress: the check would catch a stall.
        {"silent-scan-at", std::size_t(StoreSize - 1),
         "item 40 of a folder failed twice: the reading helper did not answer for 3 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        QTemporaryDir clockDir;
        const QString clock = clockDir.filePath(QStringLiteral("clock"));
        StoreOptions options;
        options.itemSilence = std::chrono::seconds(3);
        options.clock = [clock] {
            return std::chrono::steady_clock::time_point(std::chrono::milliseconds(500) *
                                                         QFileInfo(clock).size());
        };
        options.whileWaiting = [] {};
        options = talvenor::testing::withFaults(
            options, QStringLiteral("%1=40,scan-steps=20,clock-file=%2").arg(c.fault, clock));
        const Run run = convert(options);
        EXPECT_EQ(run.written.size(), c.written);
        EXPECT_GE(QFileInfo(clock).size(), 20); // the scan did take its time
        if (!c.reported) {
            EXPECT_TRUE(run.reports.isEmpty()) << run.reports.join(u'|').toStdString();
            continue;
        }
        ASSERT_FALSE(run.reports.isEmpty());
        for (const QString& report : run.reports)
            EXPECT_TRUE(report.contains(QLatin1String(c.reported))) << report.toStdString();
    }
}

TEST_F(GeneratedStoreFixture, AnItemTooLargeToHandOverIsReportedAndTheRestIsWritten) {
    StoreOptions options;
    options.maxRecordSize = 200; // more than the folder tree, less than any item
    const Run run = convert(options);
    EXPECT_TRUE(run.written.empty());
    ASSERT_GE(run.reports.size(), StoreSize);
    for (const QString& report : run.reports)
        ASSERT_TRUE(report.contains(QStringLiteral("is too large to be converted")))
            << report.toStdString();
}

TEST_F(GeneratedStoreFixture, TheHelperEndsWithTheProgramEvenWhileTheStoreOpens) {
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        StoreOptions options;
        options = talvenor::testing::withFaults(options,
                                                QStringLiteral("hold-opening=/nonexistent/never"));
        NativeApplicationFactory factory(options);
        auto ns =
            factory.create(automation::ApplicationClass)->getNamespace(automation::MapiNamespace);
        try {
            ns->addStore(QLatin1Char('"') + store() + QLatin1Char('"'));
        } catch (...) {
        }
        ::_exit(0);
    }
    // Waits until the program's helper is there (it is held while it opens the store).
    std::vector<pid_t> helpers;
    for (int tries = 0; tries < 3000 && helpers.empty(); ++tries) {
        helpers = helpersOf(program);
        if (helpers.empty())
            ::usleep(10 * 1000);
    }
    ASSERT_EQ(helpers.size(), 1u);
    const int pidfd = int(::syscall(SYS_pidfd_open, helpers[0], 0));
    ASSERT_GE(pidfd, 0);
    ::kill(program, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(program, &status, 0), program);
    // The helper's end is an event; the limit only keeps a broken build from hanging here.
    pollfd p{pidfd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 60 * 1000), 1) << "the helper runs on after the program was killed";
    ::close(pidfd);
}

// A helper that does not die when it is stopped (stuck in the kernel on a hung network
// share; here it is only paused, since SIGKILL is kept from it): the program waits for it a
// bounded time by its clock, the window getting its turns, and goes on; the helper is reaped
// as soon as it ends after all.
TEST(HelperProcess, AHelperThatDoesNotDieIsLeftToBeReapedLaterNeverWaitedFor) {
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stopped" : "after its stream");
        helper::HelperCommand command;
        command.program = QStringLiteral(TALVENOR_FAULTY_READER);
        command.arguments = {QStringLiteral("--faults=hang-opening"), QStringLiteral("--fd=3"),
                             QStringLiteral("--"), QStringLiteral("/nonexistent.pst")};
        int yields = 0;
        command.whileWaiting = [&yields] { ++yields; };
        auto now = std::chrono::steady_clock::time_point{};
        command.clock = [&now] { return now += std::chrono::seconds(1); };
        command.reapWithin = std::chrono::seconds(5);
        pid_t stuck = 0;
        command.sendSignal = [&stuck](pid_t pid, int) {
            stuck = pid;
            return ::kill(pid, SIGSTOP);
        };
        auto source = helper::spawnHelper(command);
        const helper::Ending ending = source->finish(stop);
        ASSERT_NE(stuck, 0);
        EXPECT_EQ(ending.kind, helper::Ending::Kind::Exited);
        EXPECT_TRUE(ending.detail.contains(QStringLiteral("did not end within 5 s")))
            << ending.detail.toStdString();
        EXPECT_GE(yields, 1);
        EXPECT_EQ(source->finish(stop).detail, ending.detail); // told once, waited for once
        source.reset();
        // It ends after all: the reaper takes it; no zombie stays. The limit only keeps a
        // broken build from hanging here.
        ::kill(stuck, SIGKILL);
        bool gone = false;
        for (int tries = 0; tries < 6000 && !gone; ++tries) {
            gone = ::kill(stuck, 0) != 0 && errno == ESRCH;
            if (!gone)
                ::usleep(10 * 1000);
        }
        EXPECT_TRUE(gone) << "the helper was never reaped";
    }
}

#if TALVENOR_HAVE_MSGWRITER
// A message file as the writer leaves it when it has finished: a compound file whose length
// is whole sectors and at least the header and the first sectors.
bool looksComplete(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = f.read(8);
    return head == QByteArray::fromHex("d0cf11e0a1b11ae1") && f.size() >= 1536 &&
           f.size() % 512 == 0;
}

TEST_F(GeneratedStoreFixture, AProgramKilledAtRandomLeavesNoPartFileUnderAFinalName) {
    std::mt19937 random(1208);
    int leftovers = 0;
    int files = 0;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const QString out = dir_->filePath(QStringLiteral("killed %1").arg(round));
        QDir().mkpath(out);
        const int after = 1 + int(random() % 400);
        const pid_t program = ::fork();
        ASSERT_GE(program, 0);
        if (program == 0) {
            StoreOptions options;
            options.writer = [](const mapi::Message& m, const QString& path) {
                msg::writeMsg(m, path);
            };
            talvenor::testing::RecordingMessageBox messages;
            talvenor::testing::CountingEventLoop events;
            talvenor::testing::RecordingPointer pointer;
            NativeApplicationFactory factory(options);
            ConversionSession(factory, messages, events, pointer)
                .PST2MSG(store(), out + QStringLiteral("/x.msg"));
            ::_exit(0);
        }
        // Killed once it has written a random number of files, while it writes more.
        while (QDir(out).entryList(QDir::Files | QDir::Hidden).size() < after) {
            if (::waitpid(program, nullptr, WNOHANG) == program)
                FAIL() << "the conversion ended before it was killed";
            ::usleep(1000);
        }
        ::kill(program, SIGKILL);
        ASSERT_EQ(::waitpid(program, nullptr, 0), program);
        for (const QString& name : QDir(out).entryList(QDir::Files | QDir::Hidden)) {
            if (!name.endsWith(QStringLiteral(".msg"))) {
                ++leftovers;
                continue;
            }
            ++files;
            EXPECT_TRUE(looksComplete(out + u'/' + name)) << name.toStdString();
        }
    }
    std::printf("10 killed runs: %d complete message files, %d other files left behind\n", files,
                leftovers);
}
#endif

} // namespace
