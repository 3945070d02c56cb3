// Segment energy: the smoothing-spline objective minimised over one run of
// samples, grown one sample at a time in constant work.
//
// A segment l..r is scored by the least-squares system over the unknowns
// (f_i, u_i) of every sample (value and scaled slope):
//   data row       c_i * f_i = c_i * y_i
//   curvature rows per interval (a, b), which square-sum to (1-p) * int f''^2.
// Its squared residual is the energy. Grown at one end, a sample only touches
// the unknowns of the current end, so a state keeps just the trailing 2x2
// block of the triangular factor, two rows of the rotated right-hand side and
// the energy.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "options.hpp"
#include "prepare.hpp"

namespace velk {

// The two curvature rows of one interval, oriented from the segment's current
// end a to the new sample b (unknowns f_a, u_a, f_b, u_b):
//   first  = [k, qa, nk, qb],   second = [0, ra, 0, nrb].
struct CurvatureRows {
    double k, qa, nk, qb, ra, nrb;
};
CurvatureRows curvature_rows(double h, double s, double tau_a, double tau_b);
// The same rows from h15 = h^-1.5 and h05 = h^-0.5, for callers that compute
// the powers their own way.
inline CurvatureRows curvature_rows_of_powers(double h15, double h05, double s, double tau_a,
                                              double tau_b) {
    constexpr double kSqrt3 = 1.7320508075688772;
    return {
        ((2.0 * s) * kSqrt3) * h15,  ((tau_a * s) * kSqrt3) * h05,
        ((-2.0 * s) * kSqrt3) * h15, ((tau_b * s) * kSqrt3) * h05,
        (tau_a * s) * h05,           ((-tau_b) * s) * h05,
    };
}

struct SegmentModel {
    MatView y;                // n x dim, the prepared values
    std::vector<double> h;    // n-1 spacings
    std::vector<double> c;    // n data-row factors sqrt(p)/delta_i
    std::vector<double> tau;  // n slope scales
    double s = 0.0;           // sqrt(1-p)
    // n-1 curvature rows, interval i oriented from sample i to i+1: every
    // search starts and extends states on them, so they are computed once.
    std::vector<CurvatureRows> rows;

    Index n() const { return c.size(); }
    Index dim() const { return y.cols(); }
};

// Builds c, h, s, tau (local_tau under Precondition::Local, else all 1.0) and rows.
SegmentModel make_segment_model(const PreparedData& data, double p, Precondition precondition);

std::vector<double> local_tau(const std::vector<double>& h, const std::vector<double>& c, double s);

// Prefix energies E(0, r) (0 for r < 2); the samples fed count is n.
std::vector<double> prefix_energies(const SegmentModel& model, Ticker& ticker);

// One pending extension: a state's storage and the sample it takes.
struct ExtendJob {
    double* state;
    const CurvatureRows* rows;
    double c_b;
    VecView y_b;
};

// The root of a plane rotation as the core takes it; the contract fixes its
// arithmetic. The extension kernels take the root as a parameter (see
// segment_kernels.hpp).
struct Hypot {
    static double of(double a, double b) { return std::hypot(a, b); }
};

// A growing segment, as a view onto state_size(m) caller-owned doubles:
//   [r22, r23, r33, energy, b2[0..m), b3[0..m)]
// that is, what a further extension reads: the trailing 2x2 block of the
// factor, the energy and rows 2 and 3 of the rotated right-hand side.
// start and extend overwrite the storage; a state is grown in one direction.
class SegmentState {
public:
    static constexpr Index size(Index m) { return 4 + 2 * m; }

    SegmentState(double* storage, Index m) : p_(storage), m_(m) {}

    // Samples a then b, neighbours in the data; energy 0.
    void start(const CurvatureRows& rows, double c_a, double c_b, const VecView& y_a,
               const VecView& y_b);
    // Feeds sample b after the current end a.
    template <class Root = Hypot>
    void extend(const CurvatureRows& rows, double c_b, const VecView& y_b);
    double energy() const { return p_[3]; }
    double* data() const { return p_; }

    // Feeds the same sample b to `count` states packed back to back (size(m)
    // doubles each) from `first`: the same results as extending each in turn,
    // with the independent states interleaved so their rotations overlap.
    template <class Root = Hypot>
    static void extend_packed(double* first, Index count, Index m, const CurvatureRows& rows,
                              double c_b, const VecView& y_b);
    // Independent extensions of distinct states, interleaved likewise.
    template <class Root = Hypot>
    static void extend_jobs(const ExtendJob* jobs, Index count, Index m);

private:
    double* p_;
    Index m_;
};

}  // namespace velk
