// The engine's choices of search.
#pragma once

#include <cstdint>
#include <optional>

#include "options.hpp"

namespace velk::engine {

// The functional search is the engine's own; FPVI and PELT are the core's.
enum class Search : std::uint8_t { Functional, FPVI, PELT };

// How smooth: lam = (1 - p) / p in the caller's units, or a smoothing length
// in units of x, the width of the spline's equivalent kernel:
// lam = length^4 * w / h, w the mean weight and h the mean spacing of the
// prepared samples.
struct Smoothing {
    enum class Kind : std::uint8_t { Lam, Length };
    Kind kind = Kind::Lam;
    double value = 0.0;
};

struct Setting {
    Smoothing smoothing;
    double jump_cost = 0.0;  // per jump, in units of the weighted residual sum of squares
    Search search = Search::Functional;
    Precondition precondition = Precondition::None;
    // AR(1) noise with this lag-one correlation, -1 < phi < 1 (ar1.hpp); absent:
    // independent noise.
    std::optional<double> phi;
};

}  // namespace velk::engine
