// The one road from a store file to the program: opens the file with our reader and turns it
// into records (the folder tree, then every item the walk will ask for, in the walk's order),
// tells it is still at work while the reader is busy, and stops to make room when the process
// has grown past its budget. The reading helper sends the records through its socket; the
// in-process mode hands them straight to the program's decoder.
#pragma once

#include "readalong.h"
#include "records.h"
#include "storeread.h"
#include "wire.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace talvenor::nativestore {

// Where the records go.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    virtual void send(records::Type type, std::uint32_t folder, std::int32_t index,
                      const wire::Bytes& payload) = 0;
};

class Producer;

struct ProducerOptions {
    // Records larger than this are never sent: the item is announced as too large instead. So
    // is an item whose attachment data makes it larger than this together, and it is told
    // before that data is read.
    std::uint64_t maxRecordSize = records::DefaultMaxRecordSize;
    // Attachment data of at least this size goes over apart from its item, in pieces this
    // large (ValuePart records), straight from the message read.
    std::size_t valuePiece = records::DefaultValuePiece;
    // The most memory this process has held so far, in bytes; empty: it never stops to make
    // room.
    std::function<std::size_t()> peakMemory;
    // Once grown by this much since the store was opened, it stops after the item it has just read
    // (a fresh producer goes on after that item). 0: after every item.
    std::size_t memoryBudget = std::size_t(512) << 20;
    // Progress is sent at most this often, by this clock.
    std::chrono::milliseconds progressEvery = std::chrono::seconds(1);
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // Called before each item is read (a seam for the tests of the containment).
    std::function<void(int index, Producer& producer)> beforeItem;
};

class Producer {
public:
    Producer(QString path, RecordSink& sink, ProducerOptions options = {});
    ~Producer();
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    // Opens the store and sends its folder tree (Opened), or why it cannot (OpenFailed; then
    // false). Reading goes on after `from` ({0, 0}: from the beginning).
    bool open(helper::ResumePoint from = {});

    enum class Step {
        Going,        // sent the records of one more item, or of a folder's start or end
        Finished,     // sent Finished: everything has been read
        LostItsPlace, // the folder to resume in is not there
        MakesRoom,    // grown past the budget right after an item
    };
    Step next();

    // Tells the program it is still at work (at most every progressEvery); the reader calls it
    // during long work, and so may anything that keeps the producer busy.
    void stillAtWork();

private:
    void send(records::Type type, std::uint32_t folder, std::int32_t index,
              const wire::Bytes& payload = {});
    void sendItem(const wire::FolderInfo& folder, int index);
    void sendApart(std::uint32_t folder, int index, const wire::Bytes& value);
    void sendTooLarge(std::uint32_t folder, int index, std::uint64_t size);
    void valueAhead(std::uint64_t size);
    bool overBudget() const;

    QString path_;
    RecordSink& sink_;
    ProducerOptions options_;
    std::optional<OpenedStore> store_;
    StoreContent content_;
    // The folders whose items are read, in the walk's order.
    std::vector<const wire::FolderInfo*> plan_;
    std::size_t at_ = 0; // in plan_
    int next_ = 1;       // the next item of plan_[at_]
    bool folderStarted_ = false;
    const Listing* listing_ = nullptr; // of plan_[at_]; null when it cannot be listed
    std::size_t openedSize_ = 0;
    std::chrono::steady_clock::time_point lastSent_{};
    // While an item is read: the bytes of the values it has read and is about to read.
    std::optional<std::uint64_t> itemValues_;
    // The size of the item sent last, and the items sent since the peak was last measured.
    std::uint64_t lastItemBytes_ = 0;
    int sinceMeasured_ = 0;
};

} // namespace talvenor::nativestore
