#include "producer.h"

#include "nativestore.h"

namespace talvenor::nativestore {

namespace {

// Thrown from inside the reader when an item's values outgrow what one item may hold.
struct TooLargeToRead {
    std::uint64_t size;
};

} // namespace

Producer::Producer(QString path, RecordSink& sink, ProducerOptions options)
    : path_(std::move(path)), sink_(sink), options_(std::move(options)) {}

Producer::~Producer() = default;

void Producer::send(records::Type type, std::uint32_t folder, std::int32_t index,
                    const wire::Bytes& payload) {
    if (payload.size() > options_.maxRecordSize) {
        if (type == records::Type::Opened)
            send(records::Type::OpenFailed, 0, 0,
                 records::encodeFailure({Cause::TooLarge, storefailures::ItemTooLarge,
                                         QStringLiteral("The folder tree of the store takes %1 "
                                                        "bytes, more than the %2 it may.")
                                             .arg(payload.size())
                                             .arg(options_.maxRecordSize)}));
        else
            send(records::Type::ItemTooLarge, folder, index, records::encodeSize(payload.size()));
        return;
    }
    sink_.send(type, folder, index, payload);
    lastSent_ = options_.clock();
}

void Producer::stillAtWork() {
    if (options_.clock() - lastSent_ >= options_.progressEvery)
        send(records::Type::Progress, 0, 0);
}

bool Producer::open(helper::ResumePoint from) {
    lastSent_ = options_.clock();
    try {
        store_.emplace(openStore(
            path_, [this] { stillAtWork(); }, [this](std::uint64_t size) { valueAhead(size); }));
        content_ = readContent(*store_, [this] { stillAtWork(); });
    } catch (const Failure& f) {
        send(records::Type::OpenFailed, 0, 0,
             records::encodeFailure({f.cause(), f.number(), f.description()}));
        return false;
    }
    plan_ = readingOrder(content_.tree);
    at_ = 0;
    next_ = 1;
    if (from.folder != 0) {
        // Folders before the one to resume in were read by an earlier producer.
        while (at_ < plan_.size() && plan_[at_]->id != from.folder)
            ++at_;
        if (from.index == records::WholeFolder)
            ++at_;
        else
            next_ = from.index + 1;
        if (at_ > plan_.size() || (at_ == plan_.size() && from.index != records::WholeFolder))
            at_ = plan_.size() + 1; // lost: told by next()
    }
    send(records::Type::Opened, 0, 0, wire::encodeTree(content_.tree));
    openedSize_ = options_.peakMemory ? options_.peakMemory() : 0;
    return true;
}

bool Producer::overBudget() const {
    if (!options_.peakMemory)
        return false;
    const std::size_t peak = options_.peakMemory();
    return peak - std::min(peak, openedSize_) >= options_.memoryBudget;
}

Producer::Step Producer::next() {
    if (at_ > plan_.size())
        return Step::LostItsPlace;
    if (at_ == plan_.size()) {
        send(records::Type::Finished, 0, 0);
        return Step::Finished;
    }
    const wire::FolderInfo& folder = *plan_[at_];
    if (!folderStarted_) {
        folderStarted_ = true;
        // A folder without a listing told the program why in the tree; it never asks for
        // these items.
        const auto listed = content_.listings.find(folder.id);
        listing_ = listed == content_.listings.end() ? nullptr : &listed->second;
        send(records::Type::FolderStart, folder.id, next_ - 1);
        return Step::Going;
    }
    const int count = listing_ ? listing_->count() : 0;
    if (next_ > count) {
        send(records::Type::FolderEnd, folder.id, records::WholeFolder);
        ++at_;
        next_ = 1;
        folderStarted_ = false;
        listing_ = nullptr;
        return Step::Going;
    }
    const int index = next_++;
    if (options_.beforeItem)
        options_.beforeItem(index, *this);
    sendItem(folder, index);
    // A process that has grown past its budget (a store whose items leave something behind)
    // makes room: a fresh one opens the store anew and goes on after this item. Growth comes
    // from large items or slowly from many, and asking for the peak is a system call: after
    // a large item, and after every sixteenth.
    const bool measure = options_.memoryBudget == 0 || ++sinceMeasured_ >= 16 ||
                         lastItemBytes_ >= (std::uint64_t(1) << 20);
    if (measure)
        sinceMeasured_ = 0;
    if (index < count && measure && overBudget())
        return Step::MakesRoom;
    return Step::Going;
}

// Before the reader gathers a large value: an item that would outgrow a record is refused
// here, before its bytes take any memory.
void Producer::valueAhead(std::uint64_t size) {
    if (!itemValues_)
        return;
    *itemValues_ += size;
    if (*itemValues_ > options_.maxRecordSize)
        throw TooLargeToRead{*itemValues_};
}

void Producer::sendApart(std::uint32_t folder, int index, const wire::Bytes& value) {
    const std::size_t piece = std::max<std::size_t>(options_.valuePiece, 1);
    for (std::size_t at = 0; at < value.size(); at += piece) {
        const std::size_t n = std::min(piece, value.size() - at);
        send(records::Type::ValuePart, folder, index,
             records::encodeValuePart(value.size(), at, value.data() + at, n));
    }
}

// With what the folder's table knows of the item, so that the report names it.
void Producer::sendTooLarge(std::uint32_t folder, int index, std::uint64_t size) {
    send(records::Type::ItemTooLarge, folder, index,
         records::encodeSize(size, knownOfMessage(*store_, folder, *listing_, index)));
}

void Producer::sendItem(const wire::FolderInfo& folder, int index) {
    lastItemBytes_ = 0;
    struct Counting {
        std::optional<std::uint64_t>& values;
        explicit Counting(std::optional<std::uint64_t>& v) : values(v) { values = 0; }
        ~Counting() { values.reset(); }
    };
    try {
        std::optional<wire::ItemInfo> item;
        {
            const Counting counting(itemValues_);
            item = readItem(*store_, *listing_, index);
        }
        // The message is held once: its large attachment data goes out from where it is.
        const wire::ItemApart encoded = wire::encodeItemApart(*item, options_.valuePiece);
        const std::uint64_t whole = encoded.item.size() + encoded.apartBytes;
        lastItemBytes_ = whole;
        if (whole > options_.maxRecordSize) {
            sendTooLarge(folder.id, index, whole);
            return;
        }
        for (const wire::Bytes* value : encoded.apart)
            sendApart(folder.id, index, *value);
        send(records::Type::Item, folder.id, index, encoded.item);
    } catch (const TooLargeToRead& t) {
        lastItemBytes_ = t.size; // what it read before it was refused may still be held
        sendTooLarge(folder.id, index, t.size);
    } catch (const pst::Error& e) {
        const Failure f = store_->damaged(e);
        records::FailureInfo failure{f.cause(), f.number(), f.description()};
        failure.text +=
            listing_->standsForUnlisted(index)
                ? unlistedMessages(folder.name)
                : unreadableMessage(index, folder.name,
                                    knownOfMessage(*store_, folder.id, *listing_, index));
        send(records::Type::ItemFailed, folder.id, index, records::encodeFailure(failure));
    }
}

} // namespace talvenor::nativestore
