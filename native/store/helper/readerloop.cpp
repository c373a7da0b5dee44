#include "readerloop.h"

#include "channel.h"

#include <failure.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include <csignal>

namespace talvenor::nativestore::reader {

namespace {

// The most memory this process has held so far, in bytes.
std::size_t peakMemory() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return std::size_t(std::max(0L, usage.ru_maxrss)) * 1024;
}

// A bad_alloc where nothing catches it ends in a clear exit code rather than an abort.
[[noreturn]] void endOnTerminate() {
    if (const auto current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            ::_exit(helper::exits::OutOfMemory);
        } catch (...) {
        }
    }
    std::abort();
}

// Ends with the program, even while the reader is busy: by signal, and when the socket closes.
bool tieToTheProgram(const ReaderArguments& args) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (args.parent != 0 && ::getppid() != args.parent)
        return false;
    std::thread([fd = args.fd] {
        pollfd p{fd, POLLRDHUP, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        ::_exit(helper::exits::ReadAll);
    }).detach();
    return true;
}

int run(const ReaderArguments& args, const ReaderHooks& hooks) {
    if (!tieToTheProgram(args))
        return helper::exits::ReadAll;
    std::set_terminate(endOnTerminate);
    SocketSink socket(args.fd);
    ProducerOptions options;
    options.maxRecordSize = args.maxRecordSize;
    options.memoryBudget = args.memoryBudget;
    options.peakMemory = peakMemory;
    if (hooks.clock)
        options.clock = hooks.clock;
    options.beforeItem = hooks.beforeItem;
    try {
        if (hooks.beforeOpening)
            hooks.beforeOpening(args.resume.folder != 0);
        Producer producer(args.path, socket, options);
        if (!producer.open(args.resume))
            return helper::exits::Refused;
        for (;;) {
            switch (producer.next()) {
            case Producer::Step::Going:
                continue;
            case Producer::Step::Finished:
                return helper::exits::ReadAll;
            case Producer::Step::LostItsPlace:
                return helper::exits::LostItsPlace;
            case Producer::Step::MakesRoom:
                return helper::exits::MakesRoom;
            }
        }
    } catch (const std::bad_alloc&) {
        return helper::exits::OutOfMemory;
    } catch (const Failure& f) {
        std::fprintf(stderr, "talvenor-reader: %s\n", qPrintable(f.description()));
        return helper::exits::Refused;
    }
}

} // namespace

int readerMain(int argc, char** argv, const ReaderHooks& hooks) {
    const auto args = parseArguments(argc, argv);
    if (!args) {
        std::fprintf(stderr, "talvenor-reader is started by talvenor, not by hand\n");
        return helper::exits::Usage;
    }
    return run(*args, hooks);
}

} // namespace talvenor::nativestore::reader
