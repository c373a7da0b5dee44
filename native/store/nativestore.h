// The mail-store surface over PST and OST files read with our own reader, for platforms
// without the mail program: the engine's walk and session run unchanged against it.
#pragma once

#include <automation.h>
#include <mapi/mapi.h>

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace talvenor::nativestore {

// Failure numbers of the native store, beside the shared ones (failures::InUse when another
// program holds the file, failures::PermissionDenied when the file may not be read).
namespace storefailures {
constexpr std::int32_t FileNotFound = 53;
constexpr std::int32_t NotAStore = 321;
constexpr std::int32_t DamagedStore = -2147221221;
constexpr std::int32_t NotSupported = -2147221246;
constexpr std::int32_t StoreNotAttached = -2147221233;
// The reading helper failed in a way that says nothing about the file (killed, out of memory,
// stalled twice in different ways): Cause::ReaderFailed.
constexpr std::int32_t ReaderFailed = -2147023170;
// The reading helper could not be started at all (missing, not executable):
// Cause::ReaderNotStarted.
constexpr std::int32_t ReaderNotStarted = -2147221164;
constexpr std::int32_t ItemTooLarge = -2147024882;
} // namespace storefailures

// Writes one message as a message file at exactly this path; throws talvenor::Failure.
using MessageWriter = std::function<void(const mapi::Message& message, const QString& path)>;

// How a store is kept from taking the program down should reading a hostile file crash or hang.
enum class Containment {
    // A helper program opens the store, reads its folder tree and then every item ahead of
    // this process, and hands each over once it has survived reading it; this process never
    // opens the file. An item that takes the helper down is tried once more in a fresh helper,
    // and reported only when that one fails too; a fresh helper goes on after it.
    ReadAlong,
    // Everything runs in this process (the fuzzer wants to see the crash).
    None,
};

struct StoreOptions {
    // Empty: saving fails with a clear "not supported yet" failure.
    MessageWriter writer;
    // Called when a store is detached, as the conversion of a PST file ends: the writer puts
    // the files written from it on the disk before the run goes on. May throw Failure.
    std::function<void()> storeDetached;
    Containment containment = Containment::ReadAlong;
    // A reading helper that has grown by this much since it opened the store stops after the
    // item it has just read, and a fresh helper opens the store and goes on after that item.
    // The reader keeps only a few pages of a store's index, so this is a safety net. 0: after
    // every item.
    std::size_t helperMemoryBudget = std::size_t(512) << 20;
    // How long the helper may stay silent before it is taken for stalled: while it opens the
    // store, and while it reads an item (it tells it is still at work on a large one).
    std::chrono::milliseconds openingSilence = std::chrono::seconds(120);
    std::chrono::milliseconds itemSilence = std::chrono::seconds(60);
    // Items that take more than this to hand over are reported as too large.
    std::uint64_t maxRecordSize = std::uint64_t(1) << 30;
    // The clock the helper's silence is measured by (a seam for tests, which must not depend
    // on how fast the machine is).
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // Called again and again while the helper reads, so that the window can keep painting
    // (the program passes its event loop's yield).
    std::function<void()> whileWaiting;
    // The helper's program; empty: talvenor-reader beside the running executable.
    QString helperProgram;
    // More arguments for the helper's program, before the store's path (the tests' helper
    // takes the faults it is to show this way; talvenor-reader refuses any it does not know).
    QStringList helperArguments;
};

class NativeApplicationFactory : public automation::ApplicationFactory {
public:
    explicit NativeApplicationFactory(StoreOptions options = {});
    // Always succeeds: the store reader is part of the program.
    std::unique_ptr<automation::Application> create(const QString& className) override;

private:
    std::shared_ptr<const StoreOptions> options_;
};

} // namespace talvenor::nativestore
