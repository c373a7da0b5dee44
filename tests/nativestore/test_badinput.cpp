// Files that are not readable stores: each ends in one clear failure that names the file, and
// the program goes on.
#include <fuzz/pstbytes.h>

#include "faultyreader.h"

#include <failure.h>

#include <nativestore.h>
#include <session.h>

#include <recorders.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace talvenor;
using namespace talvenor::nativestore;
using talvenor::testing::fixPstHeader;

namespace {

struct Outcome {
    bool failed = false;
    std::int32_t number = 0;
    QString description;
    Cause cause = Cause::Other;
};

Outcome addStore(const QString& path, StoreOptions options = {}) {
    NativeApplicationFactory factory(std::move(options));
    auto application = factory.create(automation::ApplicationClass);
    auto ns = application->getNamespace(automation::MapiNamespace);
    try {
        ns->addStore(QLatin1Char('"') + path + QLatin1Char('"'));
        auto root = ns->lastFolder();
        ns->removeStore(*root);
    } catch (const Failure& f) {
        return {true, f.number(), f.description(), f.cause()};
    }
    return {};
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray randomBytes(std::size_t size, unsigned seed, bool validHeader) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = std::uint8_t(random());
    if (validHeader)
        fixPstHeader(bytes, seed % 2 == 0);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

class BadInput : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
};

TEST_F(BadInput, EachFileGivesOneClearFailureNamingIt) {
    struct Case {
        const char* name;
        QByteArray content; // null: create nothing
        std::int32_t number;
        Cause cause;
        const char* says;
    };
    const Case cases[] = {
        {"missing.pst", QByteArray(), storefailures::FileNotFound, Cause::NotFound,
         "does not exist"},
        {"empty.pst", QByteArray(""), storefailures::NotAStore, Cause::NotAStore, "empty"},
        {"text.pst", QByteArray("From: someone\r\nSubject: not a store\r\n"),
         storefailures::NotAStore, Cause::NotAStore, "not a PST file"},
        {"short.pst", QByteArray("!BD"), storefailures::NotAStore, Cause::NotAStore,
         "not a PST file"},
        {"random.pst", randomBytes(64 * 1024, 7, false), storefailures::NotAStore, Cause::NotAStore,
         "not a PST file"},
        {"header-only.pst", randomBytes(512, 8, true), storefailures::DamagedStore, Cause::Damaged,
         "damaged"},
        {"random-unicode.pst", randomBytes(256 * 1024, 10, true), storefailures::DamagedStore,
         Cause::Damaged, "damaged"},
        {"random-ansi.pst", randomBytes(256 * 1024, 11, true), storefailures::DamagedStore,
         Cause::Damaged, "damaged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = path(QString::fromLatin1(c.name));
        if (!c.content.isNull())
            writeFile(file, c.content);
        for (auto containment : {Containment::ReadAlong, Containment::None}) {
            StoreOptions options;
            options.containment = containment;
            const Outcome outcome = addStore(file, options);
            ASSERT_TRUE(outcome.failed);
            EXPECT_EQ(outcome.number, c.number) << outcome.description.toStdString();
            EXPECT_EQ(outcome.cause, c.cause) << outcome.description.toStdString();
            EXPECT_TRUE(outcome.description.contains(file)) << outcome.description.toStdString();
            EXPECT_TRUE(outcome.description.contains(QLatin1String(c.says)))
                << outcome.description.toStdString();
        }
    }
}

// A missing or broken reading helper is the installation's fault, never the file's: the user
// is told which program could not be started and why, and not that the file is in use.
TEST_F(BadInput, AReadingHelperThatCannotStartSaysWhichAndWhy) {
    const QString store = path(QStringLiteral("ordinary.pst"));
    writeFile(store, randomBytes(4096, 12, true));
    const QString notExecutable = path(QStringLiteral("not executable"));
    writeFile(notExecutable, QByteArray("#!/bin/sh\nexit 0\n"));
    const QString notAProgram = path(QStringLiteral("not a program"));
    writeFile(notAProgram, QByteArray(64, '\x7f'));
    ASSERT_TRUE(QFile::setPermissions(notAProgram, QFile::ReadOwner | QFile::ExeOwner));
    const QString exits127 = path(QStringLiteral("loader missing"));
    writeFile(exits127, QByteArray("#!/bin/sh\nexit 127\n"));
    ASSERT_TRUE(QFile::setPermissions(exits127, QFile::ReadOwner | QFile::ExeOwner));
    struct Case {
        QString program;
        const char* why;
    };
    const Case cases[] = {
        {path(QStringLiteral("talvenor-reader (removed)")), "No such file or directory"},
        {notExecutable, "Permission denied"},
        {notAProgram, "Exec format error"},
        {exits127, "exit code 127"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.toStdString());
        StoreOptions options;
        options.helperProgram = c.program;
        const Outcome outcome = addStore(store, options);
        ASSERT_TRUE(outcome.failed);
        EXPECT_EQ(outcome.cause, Cause::ReaderNotStarted) << outcome.description.toStdString();
        EXPECT_EQ(outcome.number, storefailures::ReaderNotStarted);
        EXPECT_NE(outcome.number, failures::InUse);
        EXPECT_TRUE(outcome.description.startsWith(
            QStringLiteral("the reading helper could not be started: %1: ").arg(c.program)))
            << outcome.description.toStdString();
        EXPECT_TRUE(outcome.description.contains(QLatin1String(c.why)))
            << outcome.description.toStdString();
    }
}

TEST_F(BadInput, AFolderNamedLikeAStoreIsNotAStore) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.pst")));
    const Outcome outcome = addStore(path(QStringLiteral("folder.pst")));
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.number, storefailures::NotAStore);
    EXPECT_TRUE(outcome.description.contains(QStringLiteral("is a folder")));
}

// A child process that holds a lock of the given kind on the file until released.
class LockHolder {
public:
    enum Kind { Flock, PosixLock, OfdLock };

    LockHolder(const QString& file, Kind kind) {
        int ready[2];
        int release[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(release), 0);
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(file.toLocal8Bit().constData(), O_RDWR);
            bool locked = false;
            if (fd >= 0 && kind == Flock) {
                locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            } else if (fd >= 0) {
                struct flock lock {};
                lock.l_type = F_WRLCK;
                lock.l_whence = SEEK_SET;
                locked = ::fcntl(fd, kind == PosixLock ? F_SETLK : F_OFD_SETLK, &lock) == 0;
            }
            const char answer = locked ? 'y' : 'n';
            (void)!::write(ready[1], &answer, 1);
            char ignored;
            (void)!::read(release[0], &ignored, 1); // returns when the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char answer = 'n';
        EXPECT_EQ(::read(ready[0], &answer, 1), 1);
        ::close(ready[0]);
        locked_ = answer == 'y';
    }
    ~LockHolder() {
        ::close(release_);
        int status = 0;
        ::waitpid(child_, &status, 0);
    }
    bool locked() const { return locked_; }

private:
    pid_t child_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

TEST_F(BadInput, AFileLockedByAnotherProgramIsInUse) {
    const QString file = path(QStringLiteral("locked file.pst"));
    writeFile(file, randomBytes(4096, 3, true));
    for (auto kind : {LockHolder::Flock, LockHolder::PosixLock, LockHolder::OfdLock}) {
        SCOPED_TRACE(int(kind));
        {
            LockHolder holder(file, kind);
            ASSERT_TRUE(holder.locked());
            const Outcome outcome = addStore(file);
            ASSERT_TRUE(outcome.failed);
            EXPECT_EQ(outcome.number, failures::InUse);
            EXPECT_EQ(outcome.cause, Cause::InUse);
            EXPECT_EQ(std::abs(static_cast<long long>(outcome.number)), 2147467259LL);
            EXPECT_TRUE(outcome.description.contains(file));
        }
        // Released: the file is only damaged now, no longer in use.
        const Outcome after = addStore(file);
        EXPECT_EQ(after.number, storefailures::DamagedStore);
    }
}

TEST_F(BadInput, ASessionOverALockedFileShowsTheInUseMessageOnce) {
    const QString locked = path(QStringLiteral("held by mail program.pst"));
    writeFile(locked, randomBytes(4096, 9, true));
    LockHolder holder(locked, LockHolder::Flock);
    ASSERT_TRUE(holder.locked());
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    NativeApplicationFactory factory;
    ConversionSession(factory, messages, events, pointer)
        .PST2MSG(locked, path(QStringLiteral("out.msg")));
    ASSERT_EQ(messages.shown.size(), 1);
    EXPECT_EQ(messages.shown[0].text, inUseMessageText());
    EXPECT_EQ(pointer.current, PointerMode::Default);
}

TEST_F(BadInput, AFileThatMayNotBeReadIsPermissionDenied) {
    const QString file = path(QStringLiteral("private.pst"));
    writeFile(file, randomBytes(4096, 4, true));
    ASSERT_EQ(::chmod(file.toLocal8Bit().constData(), 0600), 0);
    ASSERT_EQ(::chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(file.toLocal8Bit().constData(), 0), 0);
        const Outcome outcome = addStore(file);
        EXPECT_EQ(outcome.number, failures::PermissionDenied);
        EXPECT_TRUE(outcome.description.contains(file));
        return;
    }
    // As root nothing is denied: drop to an unprivileged user in a child and report back.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        const Outcome outcome = addStore(file);
        if (!outcome.failed)
            ::_exit(11);
        if (outcome.number != failures::PermissionDenied)
            ::_exit(12);
        ::_exit(outcome.description.contains(file) ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 no privilege drop, 11 opened, 12 wrong number, "
                                         "13 file not named";
}

TEST_F(BadInput, ACrashWhileReadingIsContainedAndReportedAsDamaged) {
    const QString file = path(QStringLiteral("crashing.pst"));
    writeFile(file, randomBytes(4096, 5, true));
    StoreOptions options;
    options = talvenor::testing::withFaults(options, QStringLiteral("crash-opening"));
    const Outcome outcome = addStore(file, options);
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.number, storefailures::DamagedStore);
    EXPECT_TRUE(outcome.description.contains(file));
    EXPECT_TRUE(outcome.description.contains(QStringLiteral("signal")));
}

TEST_F(BadInput, ReadingThatNeverEndsIsStoppedAndReportedAsDamaged) {
    const QString file = path(QStringLiteral("endless.pst"));
    writeFile(file, randomBytes(4096, 6, true));
    StoreOptions options;
    options.openingSilence = std::chrono::seconds(1);
    // Every look at the clock finds a twentieth of the limit gone, however fast the machine.
    int looks = 0;
    options.clock = [&] {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(50 * looks++));
    };
    int waits = 0;
    options.whileWaiting = [&] { ++waits; };
    options = talvenor::testing::withFaults(options, QStringLiteral("hang-opening"));
    const Outcome outcome = addStore(file, options);
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.number, storefailures::DamagedStore);
    EXPECT_TRUE(outcome.description.contains(QStringLiteral("did not answer for 1 s")))
        << outcome.description.toStdString();
    EXPECT_GT(waits, 10); // the window was given its turn while waiting
}

TEST(NativeSurface, CreatingTheApplicationAlwaysSucceeds) {
    NativeApplicationFactory factory;
    EXPECT_NE(factory.create(automation::ApplicationClass), nullptr);
    auto application = factory.create(QStringLiteral("anything"));
    ASSERT_NE(application, nullptr);
    EXPECT_NE(application->getNamespace(QStringLiteral("MAPI")), nullptr);
    EXPECT_THROW(application->getNamespace(QStringLiteral("OTHER")), Failure);
    auto ns = application->getNamespace(QStringLiteral("MAPI"));
    EXPECT_THROW(ns->lastFolder(), Failure);
}

} // namespace
