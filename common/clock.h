#pragma once

#include <chrono>

namespace talvenor {

// A monotonic clock, so that work paced by time can be tested without waiting.
class IClock {
public:
    virtual ~IClock() = default;
    virtual std::chrono::milliseconds now() const = 0;
};

class SteadyClock : public IClock {
public:
    std::chrono::milliseconds now() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
};

} // namespace talvenor
