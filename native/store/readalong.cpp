#include "readalong.h"

#include "filechecks.h"
#include "nativestore.h"

#include <csignal>
#include <cstring>

namespace talvenor::nativestore::helper {

using records::Type;
using records::WholeFolder;

bool ReadAlong::Cause::sameAs(const Cause& other) const {
    if (kind != other.kind)
        return false;
    if (kind != Kind::Ended)
        return true;
    return ending.kind == other.ending.kind && ending.code == other.ending.code;
}

ReadAlong::ReadAlong(QString path, StartHelper start, Limits limits)
    : path_(std::move(path)), startHelper_(std::move(start)), limits_(limits) {}

ReadAlong::~ReadAlong() {
    if (source_)
        source_->finish(true);
}

void ReadAlong::start(ResumePoint from) {
    if (source_)
        source_->finish(true);
    source_ = startHelper_(from);
    ++started_;
    decoder_ = std::make_unique<records::Decoder>(limits_.maxRecordSize);
    parts_ = std::make_unique<records::ValueParts>(limits_.maxRecordSize);
    helperOpened_ = false;
    sawFinished_ = false;
    finished_ = false;
    current_ = from;
    helperPassed_.clear();
}

wire::FolderInfo ReadAlong::open() {
    start({});
    for (;;) {
        if (openFailure_)
            throw *openFailure_;
        if (givenUp_)
            throw *givenUp_;
        if (opened_)
            return std::move(*tree_);
        pump(std::nullopt);
    }
}

wire::ItemInfo ReadAlong::wait(std::uint32_t folder, int index) {
    const ResumePoint wanted{folder, index};
    for (;;) {
        if (const auto it = failedItems_.find(wanted); it != failedItems_.end())
            throw it->second;
        const auto kept =
            std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) { return k.at == wanted; });
        if (kept != kept_.end()) {
            // Walks in another order than the helper's find the rest still kept.
            Kept found = std::move(*kept);
            keptBytes_ -= found.size;
            kept_.erase(kept);
            if (found.failure) {
                // Asked again (the walk asks at several steps), the same failure, at once.
                failedItems_.emplace(wanted, *found.failure);
                throw *found.failure;
            }
            return std::move(*found.item);
        }
        if (givenUp_)
            throw *givenUp_;
        auto past = [&](const std::unordered_map<std::uint32_t, std::int32_t>& passed) {
            const auto it = passed.find(folder);
            return it != passed.end() && it->second >= index;
        };
        if (finished_ || past(helperPassed_)) {
            if (!past(passed_))
                throw Failure(talvenor::Cause::ReaderFailed, storefailures::ReaderFailed,
                              QStringLiteral("The file %1 could not be read: the reading helper "
                                             "did not hand over item %2 of a folder.")
                                  .arg(quotedName(path_))
                                  .arg(index));
            // Gone past and not kept: a fresh helper reads it again.
            kept_.clear();
            keptBytes_ = 0;
            start({folder, index - 1});
            continue;
        }
        pump(wanted);
    }
}

void ReadAlong::pump(std::optional<ResumePoint> wanted) {
    // Room for what comes: the oldest items kept are the likeliest to be behind the walk (a
    // fresh helper reads one again, should the walk still ask for it).
    while (wanted && keptBytes_ > limits_.maxKept && !kept_.empty()) {
        keptBytes_ -= kept_.front().size;
        kept_.pop_front();
    }
    const auto silence = helperOpened_ ? limits_.itemSilence : limits_.openingSilence;
    switch (source_->read(*decoder_, silence)) {
    case RecordSource::Read::Silence: {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(silence).count();
        ended(Cause{Cause::Kind::Stalled,
                    {},
                    QStringLiteral("the reading helper did not answer for %1 s").arg(seconds)},
              true);
        return;
    }
    case RecordSource::Read::EndOfStream:
        ended(std::nullopt, false);
        return;
    case RecordSource::Read::Bytes:
        break;
    }
    records::Header header;
    const std::uint8_t* payload = nullptr;
    for (;;) {
        const auto status = decoder_->next(header, payload);
        if (status == records::Decoder::Status::NeedMore)
            return;
        if (status == records::Decoder::Status::Oversized) {
            ended(Cause{Cause::Kind::Oversized,
                        {},
                        QStringLiteral("the reading helper sent a record of %1 bytes, more than "
                                       "the %2 a record may hold")
                            .arg(decoder_->claimed())
                            .arg(limits_.maxRecordSize)},
                  true);
            return;
        }
        if (!take(header, payload)) {
            ended(Cause{Cause::Kind::Malformed,
                        {},
                        QStringLiteral("the reading helper sent bytes that make no sense")},
                  true);
            return;
        }
        if (openFailure_ || givenUp_)
            return;
    }
}

Failure ReadAlong::tooLarge(ResumePoint at, std::uint64_t size, const QString& known) const {
    // What the folder's table knows of it goes in as it is: a subject may hold "%1".
    const QString about = known.isEmpty() ? QString() : QStringLiteral(" (") + known + u')';
    return Failure(
        talvenor::Cause::TooLarge, storefailures::ItemTooLarge,
        QStringLiteral("Item %1 of a folder of the file %2").arg(at.index).arg(quotedName(path_)) +
            about +
            QStringLiteral(" is too large to be converted: it takes %1 bytes, more "
                           "than the %2 one item may.")
                .arg(size)
                .arg(limits_.maxRecordSize));
}

bool ReadAlong::take(const records::Header& header, const std::uint8_t* payload) {
    const std::size_t size = std::size_t(header.size);
    const ResumePoint at{header.folder, header.index};
    auto pass = [&] {
        current_ = at;
        for (auto* passed : {&passed_, &helperPassed_}) {
            std::int32_t& at = (*passed)[header.folder];
            at = std::max(at, header.index);
        }
    };
    auto keep = [&](Kept k) {
        keptBytes_ += k.size;
        kept_.push_back(std::move(k));
    };
    // The pieces of an item's large values come right before the item itself.
    if (!parts_->empty() && header.type != Type::ValuePart && header.type != Type::Item)
        return false;
    switch (header.type) {
    case Type::Opened:
        if (!opened_) {
            tree_ = wire::decodeTree(payload, size);
            if (!tree_)
                return false;
            opened_ = true;
        }
        // A later helper sends the tree again; the first one stands.
        helperOpened_ = true;
        return true;
    case Type::OpenFailed: {
        const auto failure = records::decodeFailure(payload, size);
        if (!failure)
            return false;
        Failure f(failure->cause, failure->number, failure->text);
        if (opened_)
            givenUp_ = f; // the file changed under the program
        else
            openFailure_ = f;
        return true;
    }
    case Type::FolderStart:
        if (header.index < 0 || header.index == WholeFolder || header.folder == 0)
            return false;
        current_ = at;
        return true;
    case Type::ValuePart:
        if (header.index < 1 || header.index == WholeFolder || header.folder == 0)
            return false;
        return parts_->take(header.folder, header.index, payload, size);
    case Type::Item: {
        if (header.index < 1 || header.index == WholeFolder || header.folder == 0)
            return false;
        const std::uint64_t whole = size + parts_->size();
        auto apart = parts_->finish(header.folder, header.index);
        if (!apart || whole > limits_.maxRecordSize)
            return false;
        auto item = wire::decodeItem(payload, size, &*apart);
        if (!item)
            return false;
        pass();
        keep({at, std::move(item), std::nullopt, std::size_t(whole)});
        return true;
    }
    case Type::ItemFailed: {
        if (header.index < 1 || header.index == WholeFolder || header.folder == 0)
            return false;
        const auto failure = records::decodeFailure(payload, size);
        if (!failure)
            return false;
        pass();
        keep({at, std::nullopt, Failure(failure->cause, failure->number, failure->text), size});
        return true;
    }
    case Type::ItemTooLarge: {
        if (header.index < 1 || header.index == WholeFolder || header.folder == 0)
            return false;
        QString known;
        const auto claimed = records::decodeSize(payload, size, &known);
        if (!claimed)
            return false;
        pass();
        keep({at, std::nullopt, tooLarge(at, *claimed, known), size});
        return true;
    }
    case Type::FolderEnd:
        if (header.index != WholeFolder || header.folder == 0)
            return false;
        pass();
        return true;
    case Type::Progress:
        return true;
    case Type::Finished:
        sawFinished_ = true;
        return true;
    }
    return false;
}

// Where the helper was when it ended: at the item after the last one it reported.
ResumePoint ReadAlong::pendingPosition() const {
    if (current_.index == WholeFolder)
        return current_;
    return {current_.folder, current_.index + 1};
}

void ReadAlong::ended(std::optional<Cause> cause, bool stop) {
    const Ending ending = source_->finish(stop);
    const bool shortRecord = decoder_->pending() > 0;
    source_.reset();
    if (openFailure_ || givenUp_)
        return;
    if (!cause) {
        if (ending.kind == Ending::Kind::NotStarted) {
            cause = Cause{Cause::Kind::NotStarted, ending, ending.detail};
        } else if (ending.kind == Ending::Kind::Exited && !shortRecord) {
            if (ending.code == exits::ReadAll && sawFinished_) {
                finished_ = true;
                return;
            }
            // A helper that grew large stops right after it has reported an item.
            if (ending.code == exits::MakesRoom && helperOpened_ && current_.folder != 0 &&
                current_.index >= 1 && current_.index != WholeFolder) {
                start(current_);
                return;
            }
            if (ending.code == exits::LostItsPlace) {
                givenUp_ = Failure(talvenor::Cause::ReaderFailed, storefailures::ReaderFailed,
                                   QStringLiteral("The file %1 could not be read: its folders "
                                                  "changed while it was being read.")
                                       .arg(quotedName(path_)));
                return;
            }
        }
        if (!cause) {
            cause = Cause{ending.kind == Ending::Kind::Exited && ending.code == exits::ReadAll
                              ? Cause::Kind::EndedEarly
                              : Cause::Kind::Ended,
                          ending, QString()};
            if (shortRecord)
                cause->text = QStringLiteral(" in the middle of a record");
        }
    }
    failed(*cause);
}

QString ReadAlong::describe(const Cause& cause) const {
    switch (cause.kind) {
    case Cause::Kind::Ended:
        if (cause.ending.kind == Ending::Kind::Signalled) {
            const int sig = cause.ending.code;
            if (sig == SIGKILL)
                return QStringLiteral("the reading helper was killed (signal %1)%2")
                    .arg(sig)
                    .arg(cause.text);
            return QStringLiteral("the reading helper crashed (signal %1, %2)%3")
                .arg(sig)
                .arg(QString::fromUtf8(::sigabbrev_np(sig) ? ::sigabbrev_np(sig) : "?"))
                .arg(cause.text);
        }
        if (cause.ending.code == exits::OutOfMemory)
            return QStringLiteral("the reading helper ran out of memory%1").arg(cause.text);
        return QStringLiteral("the reading helper ended with exit code %1%2")
            .arg(cause.ending.code)
            .arg(cause.text);
    case Cause::Kind::EndedEarly:
        return QStringLiteral("the reading helper ended before it had read everything%1")
            .arg(cause.text);
    default:
        return cause.text;
    }
}

void ReadAlong::failed(const Cause& cause) {
    const QString file = quotedName(path_);
    if (cause.kind == Cause::Kind::NotStarted) {
        // The program's words for it: a missing or broken installation, not the file.
        Failure f(talvenor::Cause::ReaderNotStarted, storefailures::ReaderNotStarted,
                  QStringLiteral("the reading helper could not be started: %1").arg(cause.text));
        if (opened_)
            givenUp_ = f;
        else
            openFailure_ = f;
        return;
    }
    const ResumePoint at = opened_ ? pendingPosition() : ResumePoint{};
    const bool isItem = opened_ && at.folder != 0 && at.index >= 1 && at.index != WholeFolder;
    if (++failures_ > limits_.maxFailures) {
        givenUp_ = Failure(talvenor::Cause::ReaderFailed, storefailures::ReaderFailed,
                           QStringLiteral("The file %1 could not be read to its end: the reading "
                                          "helper failed %2 times, last: %3.")
                               .arg(file)
                               .arg(limits_.maxFailures)
                               .arg(describe(cause)));
        return;
    }
    if (!lastFailure_ || lastFailure_->first != at) {
        // Once more in a fresh helper: a helper killed from outside costs nothing.
        lastFailure_.emplace(at, cause);
        start(opened_ ? current_ : ResumePoint{});
        return;
    }
    // The retry failed at the same place too.
    const Cause first = lastFailure_->second;
    lastFailure_.reset();
    const QString what = !opened_ ? QStringLiteral("opening it")
                         : isItem ? QStringLiteral("reading item %1 of a folder").arg(at.index)
                                  : QStringLiteral("reading its next folder");
    const Failure f =
        cause.sameAs(first)
            ? Failure(talvenor::Cause::Damaged, storefailures::DamagedStore,
                      QStringLiteral("The file %1 is damaged: %2 failed twice: %3.")
                          .arg(file, what, describe(cause)))
            : Failure(talvenor::Cause::ReaderFailed, storefailures::ReaderFailed,
                      QStringLiteral("The file %1 could not be read: %2 failed twice: first %3, "
                                     "then %4.")
                          .arg(file, what, describe(first), describe(cause)));
    if (!opened_) {
        openFailure_ = f;
    } else if (isItem) {
        failedItems_.emplace(at, f);
        std::int32_t& passed = passed_[at.folder];
        passed = std::max(passed, at.index);
        start(at); // goes on after the item
    } else {
        givenUp_ = f;
    }
}

} // namespace talvenor::nativestore::helper
