// Scaling by powers of two, the engine's change of units.
#pragma once

#include <cmath>

namespace velk::engine {

// Multiplication by 2^e: exact like ldexp (but for results beyond the doubles),
// and a plain product where 2^e is itself a double.
class Pow2 {
public:
    explicit Pow2(int e) : e_(e), factor_(std::ldexp(1.0, e)), fast_(e >= -1000 && e <= 1000) {}
    double operator()(double v) const { return fast_ ? v * factor_ : std::ldexp(v, e_); }

private:
    int e_;
    double factor_;
    bool fast_;
};

}  // namespace velk::engine
