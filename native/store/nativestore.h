// The mail-store surface over PST and OST files read with libpff, for platforms without the
// mail program: the engine's walk and session run unchanged against it.
#pragma once

#include <automation.h>
#include <mapi/mapi.h>

#include <QString>

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
} // namespace storefailures

// Writes one message as a message file at exactly this path; throws talvenor::Failure.
using MessageWriter = std::function<void(const mapi::Message& message, const QString& path)>;

// How a store is kept from taking the program down when libpff crashes on a hostile file.
enum class Containment {
    // A child process opens the store, reads its folder tree and then every item ahead of this
    // process, and hands each over once it has survived reading it; this process opens the
    // file itself only for what the child could not hand over. An item that crashes the child
    // is reported as damaged; a new child goes on after it.
    ReadAlong,
    // Open and walk the whole store once in a child process before opening it here; a file
    // that crashes the child is reported as damaged.
    WalkInChild,
    // Only the opening and the folder tree are tried in a child process.
    OpenInChild,
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
    // A reading child that has grown by this much since it opened the store stops after the
    // item it has just read, and a fresh child opens the store and goes on after that item:
    // libpff keeps every part of a store's index it has read. 0: after every item.
    std::size_t childMemoryBudget = std::size_t(512) << 20;
    // The child's time limit is this plus a second per megabyte of the file.
    std::chrono::seconds childTimeLimit{60};
    // The clock the children's time limits are measured by (a seam for tests, which must not
    // depend on how fast the machine is).
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // Called again and again while the child reads, so that the window can keep painting
    // (the program passes its event loop's yield).
    std::function<void()> whileWaiting;
    // Replaces what the child reads (a seam for tests of the containment itself).
    std::function<void(const QString& path)> childProbe;
    // Called when this process opens the store file itself (a seam for tests of what the
    // reading child hands over).
    std::function<void()> openedHere;
    // Called in a reading-along child once it has opened the store, before it hands over the
    // folder tree (a seam for tests of children that take long to open it).
    std::function<void()> childOpened;
    // Called in the reading-along child before each item of a folder, by its position (a seam
    // for tests of what a crash on one item costs).
    std::function<void(int index)> childReadsItem;
};

class NativeApplicationFactory : public automation::ApplicationFactory {
public:
    explicit NativeApplicationFactory(StoreOptions options = {});
    // Always succeeds: the store reader is part of the program.
    std::unique_ptr<automation::Application> create(const QString& className) override;

private:
    std::shared_ptr<const StoreOptions> options_;
};

// The whole message behind an item of this store, as the message-file writer needs it.
// Throws talvenor::Failure (also for an item of another surface).
mapi::Message readMessage(automation::Item& item);

} // namespace talvenor::nativestore
