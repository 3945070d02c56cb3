// The root of a plane rotation for the engine's own kernels.
#pragma once

#include <cmath>

namespace velk::engine {

// The plain root of the sum of squares: within an ulp or so of hypot wherever
// neither square can overflow or underflow, and several times cheaper (hypot
// is a call that rescales; this is a multiply-add and a root the compiler can
// schedule with its neighbours). hypot takes over outside that range, and for
// NaN and inf. The engine's searches use it: their energies differ from the
// raw module's in the last bits only, far inside the pruning margins.
struct FastRoot {
    static double of(double a, double b) {
        const double rho = std::sqrt(a * a + b * b);
        return rho > 1e-150 && rho < 1e150 ? rho : std::hypot(a, b);
    }
};

}  // namespace velk::engine
