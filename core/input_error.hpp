// User-caused failures of the core, reported as values.
#pragma once

#include <string>
#include <variant>

#include "array.hpp"

namespace velk {

struct InputError {
    enum class Kind {
        POutOfRange,
        GammaOutOfRange,
        TooFewPoints,
        LengthMismatch,
        DeltaLengthMismatch
    };

    Kind kind;
    double value = 0.0;  // p or gamma
    Index a = 0;         // count, x length or N
    Index b = 0;         // y rows or delta length

    static InputError p_out_of_range(double p) { return {Kind::POutOfRange, p}; }
    static InputError gamma_out_of_range(double g) { return {Kind::GammaOutOfRange, g}; }
    static InputError too_few_points(Index count) { return {Kind::TooFewPoints, 0.0, count}; }
    static InputError length_mismatch(Index nx, Index ny) {
        return {Kind::LengthMismatch, 0.0, nx, ny};
    }
    static InputError delta_length_mismatch(Index n, Index nd) {
        return {Kind::DeltaLengthMismatch, 0.0, n, nd};
    }

    std::string message() const;
};

// Either a value or the error that prevented it.
template <class T, class E = InputError>
class Outcome {
public:
    Outcome(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
    Outcome(E error) : v_(std::move(error)) {}  // NOLINT
    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// Shortest decimal text that reads back as v, positional (never an exponent):
// 0.01, 2, -1, 1e22 as 10000000000000000000000; "inf", "-inf", "NaN".
std::string format_shortest(double v);

}  // namespace velk
