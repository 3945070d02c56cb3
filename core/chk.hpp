// Input preparation: size checks, finite filter, sort by x, merge of equal x.
#pragma once

#include <string>
#include <variant>

#include "array.hpp"
#include "cancel.hpp"

namespace velk {

// A user-caused failure of the core, reported as a value.
struct InputError {
    enum class Kind {
        POutOfRange,
        GammaOutOfRange,
        TooFewPoints,
        LengthMismatch,
        DeltaLengthMismatch,
        // Only the public API's module reports these.
        LamOutOfRange,
        LengthOutOfRange,
        JumpCostOutOfRange,
        NonFiniteX,
        BadDelta
    };

    Kind kind;
    double value = 0.0;  // p, gamma, lam, length, jump cost, or the bad x or delta
    Index a = 0;         // count, x length, N, or the index of the bad x or delta
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
    static InputError lam_out_of_range(double v) { return {Kind::LamOutOfRange, v}; }
    static InputError length_out_of_range(double v) { return {Kind::LengthOutOfRange, v}; }
    static InputError jump_cost_out_of_range(double v) { return {Kind::JumpCostOutOfRange, v}; }
    static InputError non_finite_x(double v, Index i) { return {Kind::NonFiniteX, v, i}; }
    static InputError bad_delta(double v, Index i) { return {Kind::BadDelta, v, i}; }

    std::string message() const;
};

// Either a value or the InputError that prevented it.
template <class T>
class Outcome {
public:
    Outcome(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
    Outcome(InputError error) : v_(error) {}    // NOLINT
    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const InputError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, InputError> v_;
};

// Shortest decimal text that reads back as v, positional (never an exponent):
// 0.01, 2, -1, 1e22 as 10000000000000000000000; "inf", "-inf", "NaN".
std::string format_shortest(double v);

struct PreparedData {
    std::vector<double> x;      // M, strictly increasing
    Matrix y;                   // M x dim
    std::vector<double> w;      // M, summed weights 1/delta^2
    std::vector<double> delta;  // M, sqrt(1/w)
};

// x and delta may be null (absent): x then is 1, 2, ..., N and delta all 1.
Outcome<PreparedData> prepare_input(const VecView* x, const MatView& y, const VecView* delta,
                                    Ticker& ticker);

}  // namespace velk
