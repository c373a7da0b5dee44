// The program's side of the reading helper: what the records mean, how every way a helper can
// end is answered, and when a fresh helper goes on. The helper itself is reached only through
// a record source, so that all of this can be tried with scripted records.
#pragma once

#include "records.h"
#include "wire.h"

#include <failure.h>

#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

namespace talvenor::nativestore::helper {

// Where a helper starts: after this item of this folder ({0, 0}: from the beginning;
// {folder, WholeFolder}: after the whole folder).
struct ResumePoint {
    std::uint32_t folder = 0;
    std::int32_t index = 0;
    bool operator==(const ResumePoint&) const = default;
    auto operator<=>(const ResumePoint&) const = default;
};

// The helper's exit codes.
namespace exits {
constexpr int ReadAll = 0;
constexpr int Usage = 2;
constexpr int Refused = 3;      // it sent why it cannot open the store
constexpr int LostItsPlace = 4; // the folder to resume in is not there
constexpr int MakesRoom = 5;    // it has grown large; a fresh one goes on after its last item
constexpr int OutOfMemory = 6;
} // namespace exits

// How a helper process ended.
struct Ending {
    enum class Kind { Exited, Signalled, NotStarted };
    Kind kind = Kind::Exited;
    int code = 0;   // the exit code or the signal
    QString detail; // NotStarted: why
};

// The bytes a helper sends, and its end.
class RecordSource {
public:
    virtual ~RecordSource() = default;
    enum class Read { Bytes, EndOfStream, Silence };
    // Waits at most `silence` for more bytes and hands them to `into`.
    virtual Read read(records::Decoder& into, std::chrono::milliseconds silence) = 0;
    // Stops the helper first when `stop` (the program gives up on it); reaps it.
    virtual Ending finish(bool stop) = 0;
};

// Starts a helper that goes on after `from`; never null (a helper that could not be started
// is a source that ends at once with Ending::NotStarted).
using StartHelper = std::function<std::unique_ptr<RecordSource>(ResumePoint from)>;

struct Limits {
    // Seconds of silence after which a helper is taken for stalled: while it opens the store
    // (a fresh helper opens it anew), and once it reads items.
    std::chrono::milliseconds openingSilence = std::chrono::seconds(120);
    std::chrono::milliseconds itemSilence = std::chrono::seconds(60);
    std::uint64_t maxRecordSize = records::DefaultMaxRecordSize;
    // Items received but not asked for yet are kept up to about this much.
    std::size_t maxKept = std::size_t(64) << 20;
    // Helpers that failed, beyond which the store is given up.
    int maxFailures = 256;
};

class ReadAlong {
public:
    ReadAlong(QString path, StartHelper start, Limits limits = {});
    ReadAlong(const ReadAlong&) = delete;
    ReadAlong& operator=(const ReadAlong&) = delete;
    ~ReadAlong();

    // Starts the first helper and waits until it has opened the store and read its folder
    // tree. Throws the failure when the store cannot be opened.
    wire::FolderInfo open();

    // The item as the helper read it; throws its failure. An item the helper went past and
    // that was not kept is read again by a fresh helper.
    wire::ItemInfo wait(std::uint32_t folder, int index);

    // How many helpers were started (for tests and for the closing figures).
    int helpersStarted() const { return started_; }

private:
    struct Cause {
        enum class Kind { Ended, Stalled, Oversized, Malformed, EndedEarly, NotStarted };
        Kind kind;
        Ending ending;
        QString text;
        bool sameAs(const Cause& other) const;
    };
    struct Kept {
        ResumePoint at;
        std::optional<wire::ItemInfo> item;
        std::optional<Failure> failure;
        std::size_t size = 0;
    };

    void start(ResumePoint from);
    void pump(std::optional<ResumePoint> wanted);
    bool take(const records::Header& header, const std::uint8_t* payload);
    void ended(std::optional<Cause> cause, bool stop);
    void failed(const Cause& cause);
    ResumePoint pendingPosition() const;
    QString describe(const Cause& cause) const;
    Failure tooLarge(ResumePoint at, std::uint64_t size, const QString& known) const;

    QString path_;
    StartHelper startHelper_;
    Limits limits_;
    std::unique_ptr<RecordSource> source_;
    std::unique_ptr<records::Decoder> decoder_;
    // The large values of the item that comes next, gathered as their pieces arrive.
    std::unique_ptr<records::ValueParts> parts_;
    int started_ = 0;
    int failures_ = 0;
    bool opened_ = false;       // by any helper
    bool helperOpened_ = false; // by the current helper
    bool sawFinished_ = false;
    bool finished_ = false;
    ResumePoint current_; // the last place the current helper reported
    std::optional<wire::FolderInfo> tree_;
    std::optional<Failure> openFailure_;
    std::optional<Failure> givenUp_;
    std::optional<std::pair<ResumePoint, Cause>> lastFailure_;
    std::deque<Kept> kept_;
    std::size_t keptBytes_ = 0;
    // How far in each folder any helper, and the current one, has come.
    std::unordered_map<std::uint32_t, std::int32_t> passed_;
    std::unordered_map<std::uint32_t, std::int32_t> helperPassed_;
    std::map<ResumePoint, Failure> failedItems_;
};

} // namespace talvenor::nativestore::helper
