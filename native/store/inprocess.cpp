#include "inprocess.h"

namespace talvenor::nativestore {

namespace {

class InProcessSource : public helper::RecordSource, private RecordSink {
public:
    InProcessSource(const QString& path, helper::ResumePoint from, ProducerOptions options)
        : producer_(path, *this, std::move(options)), from_(from) {}

    Read read(records::Decoder& into, std::chrono::milliseconds) override {
        into_ = &into;
        sent_ = false;
        while (!sent_ && !ended_)
            step();
        into_ = nullptr;
        return sent_ ? Read::Bytes : Read::EndOfStream;
    }

    helper::Ending finish(bool) override {
        ended_ = true;
        return {helper::Ending::Kind::Exited, exitCode_, {}};
    }

private:
    void step() {
        if (!opened_) {
            opened_ = true;
            if (!producer_.open(from_))
                end(helper::exits::Refused);
            return;
        }
        switch (producer_.next()) {
        case Producer::Step::Going:
        case Producer::Step::MakesRoom: // this process keeps no budget
            return;
        case Producer::Step::Finished:
            end(helper::exits::ReadAll);
            return;
        case Producer::Step::LostItsPlace:
            end(helper::exits::LostItsPlace);
            return;
        }
    }

    void end(int code) {
        ended_ = true;
        exitCode_ = code;
    }

    void send(records::Type type, std::uint32_t folder, std::int32_t index,
              const wire::Bytes& payload) override {
        std::uint8_t header[records::HeaderSize];
        records::encodeHeader({type, folder, index, payload.size()}, header);
        into_->append(header, sizeof header);
        if (!payload.empty())
            into_->append(payload.data(), payload.size());
        sent_ = true;
    }

    Producer producer_;
    helper::ResumePoint from_;
    records::Decoder* into_ = nullptr;
    bool opened_ = false;
    bool sent_ = false;
    bool ended_ = false;
    int exitCode_ = helper::exits::ReadAll;
};

} // namespace

std::unique_ptr<helper::RecordSource> inProcessSource(const QString& path, helper::ResumePoint from,
                                                      ProducerOptions options) {
    return std::make_unique<InProcessSource>(path, from, std::move(options));
}

} // namespace talvenor::nativestore
