#include "helperprocess.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace talvenor::nativestore::helper {

namespace {

constexpr int HelperSocketFd = 3;
// What a child reports when its program could not be run.
constexpr int ExecFailed = 127;
constexpr std::size_t ReadChunk = 256U << 10;
// How often the window gets its turn while the helper works.
constexpr auto YieldEvery = std::chrono::milliseconds(25);

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class SpawnActions {
public:
    SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
    posix_spawn_file_actions_t actions;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
    posix_spawnattr_t attributes;
};

class NotStarted : public RecordSource {
public:
    explicit NotStarted(QString why) : why_(std::move(why)) {}
    Read read(records::Decoder&, std::chrono::milliseconds) override { return Read::EndOfStream; }
    Ending finish(bool) override { return {Ending::Kind::NotStarted, 0, why_}; }

private:
    QString why_;
};

class HelperProcess : public RecordSource {
public:
    HelperProcess(pid_t pid, Fd socket, const HelperCommand& command)
        : pid_(pid), socket_(std::move(socket)), whileWaiting_(command.whileWaiting),
          clock_(command.clock), reapWithin_(command.reapWithin), sendSignal_(command.sendSignal),
          program_(command.program) {
        pidfd_.reset(int(::syscall(SYS_pidfd_open, pid_, 0)));
    }
    ~HelperProcess() override { finish(true); }

    Read read(records::Decoder& into, std::chrono::milliseconds silence) override {
        // While the helper runs ahead, bytes are usually waiting: take them without a poll.
        if (took(::recv(socket_.get(), into.space(ReadChunk), ReadChunk, MSG_DONTWAIT), into)) {
            yieldNowAndThen();
            return Read::Bytes;
        }
        const auto deadline = clock_() + silence;
        for (;;) {
            yieldNowAndThen();
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_());
            if (remaining.count() <= 0)
                return Read::Silence;
            const auto wait = whileWaiting_ ? std::min(remaining, YieldEvery) : remaining;
            pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {pidfd_.get(), POLLIN, 0}};
            const int ready = ::poll(fds, pidfd_.get() >= 0 ? 2 : 1, int(wait.count()));
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return Read::EndOfStream;
            }
            if (ready == 0)
                continue;
            // What the helper sent before it ended is still read, to the end of the stream.
            if (fds[0].revents != 0 || fds[1].revents != 0) {
                const int flags = fds[0].revents != 0 ? 0 : MSG_DONTWAIT;
                const ssize_t n = ::recv(socket_.get(), into.space(ReadChunk), ReadChunk, flags);
                if (took(n, into))
                    return Read::Bytes;
                if (n < 0 && errno == EINTR)
                    continue;
                return Read::EndOfStream;
            }
        }
    }

    Ending finish(bool stop) override {
        if (ending_)
            return *ending_;
        if (stop)
            signal(SIGKILL);
        int status = 0;
        Reaped reaped = reap(status);
        if (reaped == Reaped::StillThere && !stop) {
            // It closed its stream but does not end: it is stopped as any other.
            signal(SIGKILL);
            reaped = reap(status);
        }
        socket_.reset();
        pidfd_.reset();
        if (reaped == Reaped::StillThere) {
            reapLater(pid_);
            ending_ = Ending{Ending::Kind::Exited, -1,
                             QStringLiteral("it did not end within %1 s of being stopped")
                                 .arg(double(reapWithin_.count()) / 1000.0)};
        } else if (reaped == Reaped::Unknown) {
            // Without its status the helper cannot be taken to have read everything.
            ending_ = Ending{Ending::Kind::Exited, -1,
                             QStringLiteral("its end could not be learnt: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))};
        } else if (WIFSIGNALED(status)) {
            ending_ = Ending{Ending::Kind::Signalled, WTERMSIG(status), {}};
        } else if (WEXITSTATUS(status) == ExecFailed && !heard_) {
            // The program could not be run after all (a loader or interpreter that is missing).
            ending_ = Ending{Ending::Kind::NotStarted, ExecFailed,
                             QStringLiteral("%1: it ended with exit code %2 before it said "
                                            "anything")
                                 .arg(program_)
                                 .arg(ExecFailed)};
        } else {
            ending_ = Ending{Ending::Kind::Exited, WEXITSTATUS(status), {}};
        }
        return *ending_;
    }

private:
    enum class Reaped { Yes, StillThere, Unknown };

    // Hands what recv gave to the decoder; false when it gave nothing.
    bool took(ssize_t received, records::Decoder& into) {
        if (received <= 0)
            return false;
        heard_ = true;
        into.received(std::size_t(received));
        return true;
    }

    void signal(int sig) {
        if (sendSignal_)
            sendSignal_(pid_, sig);
        else
            ::kill(pid_, sig);
    }

    // Waits for the helper's end by polling its pidfd, the window getting its turns, for at
    // most reapWithin_: a helper stuck in the kernel must not freeze the window.
    Reaped reap(int& status) {
        const auto deadline = clock_() + reapWithin_;
        for (;;) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_)
                return Reaped::Yes;
            if (done < 0 && errno == EINTR)
                continue;
            if (done < 0)
                return Reaped::Unknown;
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_());
            if (remaining.count() <= 0)
                return Reaped::StillThere;
            yieldNowAndThen();
            pollfd fd{pidfd_.get(), POLLIN, 0};
            ::poll(&fd, pidfd_.get() >= 0 ? 1 : 0, int(std::min(remaining, YieldEvery).count()));
        }
    }

    // Whoever ends it (it was sent SIGKILL) makes it a zombie; a thread of its own waits for
    // that, so nothing of the program ever blocks on it.
    static void reapLater(pid_t pid) {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }

    void yieldNowAndThen() {
        if (!whileWaiting_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastYield_ >= YieldEvery) {
            lastYield_ = now;
            whileWaiting_();
        }
    }

    pid_t pid_;
    Fd socket_;
    Fd pidfd_;
    std::function<void()> whileWaiting_;
    std::function<std::chrono::steady_clock::time_point()> clock_;
    std::chrono::milliseconds reapWithin_;
    std::function<int(pid_t, int)> sendSignal_;
    std::chrono::steady_clock::time_point lastYield_{};
    std::optional<Ending> ending_;
    QString program_;
    bool heard_ = false;
};

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

std::unique_ptr<RecordSource> spawnHelper(const HelperCommand& command) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return std::make_unique<NotStarted>(
            QStringLiteral("no socket for it: %1").arg(errnoText(errno)));
    Fd mine(pair[0]);
    Fd theirs(pair[1]);
    if (theirs.get() == HelperSocketFd) {
        // dup2 onto itself would keep close-on-exec set.
        theirs.reset(::fcntl(HelperSocketFd, F_DUPFD_CLOEXEC, HelperSocketFd + 1));
        if (theirs.get() < 0)
            return std::make_unique<NotStarted>(
                QStringLiteral("no socket for it: %1").arg(errnoText(errno)));
    }

    SpawnActions files;
    ::posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&files.actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&files.actions, theirs.get(), HelperSocketFd);
    // Nothing else of this process (the display's socket, open stores, output files).
    ::posix_spawn_file_actions_addclosefrom_np(&files.actions, HelperSocketFd + 1);

    SpawnAttributes attributes;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes.attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes.attributes, &all);
    ::posix_spawnattr_setflags(&attributes.attributes,
                               POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<QByteArray> args{QFile::encodeName(command.program)};
    args.push_back(QByteArrayLiteral("--parent=") + QByteArray::number(qint64(::getpid())));
    for (const QString& a : command.arguments)
        args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, argv[0], &files.actions, &attributes.attributes, argv.data(), environ);
    if (error != 0)
        return std::make_unique<NotStarted>(
            QStringLiteral("%1: %2").arg(command.program, errnoText(error)));
    theirs.reset();
    return std::make_unique<HelperProcess>(pid, std::move(mine), command);
}

QString helperBesideProgram() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2) +
           QStringLiteral("/talvenor-reader");
}

} // namespace talvenor::nativestore::helper
