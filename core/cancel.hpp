// Cooperative cancellation for long fits.
//
// Long loops report their work to a Ticker, which asks the caller's poll
// function every so often whether to stop and throws Cancelled when it says
// so. The core does not know what the function looks at (the bindings answer
// it from Python's pending signals); a default Ticker never polls.
#pragma once

#include <cstdint>
#include <exception>

namespace velk {

class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

class Ticker {
public:
    using Poll = bool (*)(void* context);  // true: stop now

    // About 2^16 segment extensions or spline samples: a few milliseconds.
    static constexpr std::uint64_t kEvery = std::uint64_t{1} << 16;

    Ticker() = default;
    Ticker(Poll poll, void* context) : poll_(poll), context_(context) {}

    void tick(std::uint64_t work = 1) {
        if (poll_ == nullptr) return;
        if (work < left_) {
            left_ -= work;
            return;
        }
        left_ = kEvery;
        if (poll_(context_)) throw Cancelled();
    }

private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    std::uint64_t left_ = kEvery;
};

}  // namespace velk
