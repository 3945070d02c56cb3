// The wide extension of the functional search's packed states against the
// scalar kernel it stands in for: the same bits, in the usual pattern of
// rotations, where roots leave the plain root's range, and where a lane or
// the whole group leaves the pattern.
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "ar1.hpp"
#include "check.hpp"
#include "dense.hpp"
#include "fast_root.hpp"
#include "line_states.hpp"
#include "segment_kernels.hpp"
#include "wide_extend.hpp"

namespace {

using namespace velk;
using vt::Rng;

struct Sample {
    CurvatureRows rows;
    double c;
    std::vector<double> y;
};

// The rows scale with the smoothing scale and the weights: `scale` far from 1
// sends the rotations' roots outside the plain root's range.
Sample sample(Rng& rng, Index m, double scale) {
    Sample s{curvature_rows(rng.uniform(0.2, 3.0), scale * rng.uniform(0.1, 10.0),
                            rng.uniform(0.5, 2.0), rng.uniform(0.5, 2.0)),
             scale * rng.uniform(0.5, 2.0), std::vector<double>(m)};
    for (double& v : s.y) v = rng.normal();
    return s;
}

// `count` states, each started on two samples of its own and fed a few more.
std::vector<double> states(Rng& rng, Index count, Index m, double scale) {
    const Index stride = SegmentState::size(m);
    std::vector<double> out(count * stride);
    for (Index k = 0; k < count; ++k) {
        SegmentState st(out.data() + k * stride, m);
        const Sample a = sample(rng, m, scale), b = sample(rng, m, scale);
        st.start(b.rows, a.c, b.c, a.y, b.y);
        for (Index more = rng.below(4); more > 0; --more) {
            const Sample c = sample(rng, m, scale);
            st.extend<engine::FastRoot>(c.rows, c.c, c.y);
        }
    }
    return out;
}

// The same bits in the first `size` doubles (NaNs included).
bool same(const std::vector<double>& a, const std::vector<double>& b, Index size) {
    return std::memcmp(a.data(), b.data(), size * sizeof(double)) == 0;
}

enum class Group { Usual, ZeroWeight, ZeroPivotLane, NanLane };

// Every scale, width and group of lanes, for each count of states.
template <class Body>
void each_case(std::initializer_list<Index> counts, Body body) {
    for (const double scale : {1.0, 1e-160, 1e160})
        for (Index m = 1; m <= 3; ++m)
            for (const Index count : counts)
                for (const Group g :
                     {Group::Usual, Group::ZeroWeight, Group::ZeroPivotLane, Group::NanLane}) {
                    CONTEXT("scale ", scale, ", m ", m, ", count ", count, ", group ",
                            static_cast<int>(g));
                    body(scale, m, count, g);
                }
}

// The states after the packed extension (`wide`) hold the scalar kernel's bits;
// the wide kernel itself, `kernel(first, lanes)` on 4 or 8 lanes of the states
// `before`, takes the group when `usual` (and the processor can) and leaves the
// others untouched.
template <class Kernel>
void check_wide(const std::vector<double>& before, const std::vector<double>& wide,
                const std::vector<double>& scalar, Index stride, bool usual, Kernel kernel) {
    const Index count = before.size() / stride;
    CHECK(same(wide, scalar, count * stride));
    for (const Index lanes : {4, 8}) {
        if (count < lanes) continue;
        std::vector<double> group = before;
        const bool took = kernel(group.data(), lanes);
        CHECK_EQ(took, usual && engine::wide_available());
        CHECK(same(group, took ? scalar : before, lanes * stride));
    }
}

// The engine reads cpuid itself; GCC's own reading is the reference.
TEST(wide_kernels_run_where_the_processor_has_avx2) {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    CHECK_EQ(engine::wide_available(), static_cast<bool>(__builtin_cpu_supports("avx2")));
#endif
}

TEST(wide_extension_is_the_scalar_kernel_bit_for_bit) {
    Rng rng(11);
    each_case({1, 4, 5, 8, 11, 12}, [&](double scale, Index m, Index count, Group g) {
        const Index stride = SegmentState::size(m);
        std::vector<double> wide = states(rng, count, m, scale);
        Sample s = sample(rng, m, scale);
        if (g == Group::ZeroWeight) s.c = 0.0;
        // Lane 1's pivot row zero: its column-1 rotation has nothing to rotate,
        // which the scalar kernel skips.
        if (g == Group::ZeroPivotLane && count > 1) wide[stride] = wide[stride + 1] = 0.0;
        if (g == Group::NanLane && count > 1) wide[stride + 2] = NAN;
        const std::vector<double> before = wide;
        std::vector<double> scalar = wide;
        engine::extend_packed_wide(wide.data(), count, m, s.rows, s.c, s.y);
        for (Index k = 0; k < count; ++k)
            SegmentState(scalar.data() + k * stride, m).extend<engine::FastRoot>(s.rows, s.c, s.y);
        // A NaN lane leaves the pattern: its products with zero are NaN.
        check_wide(before, wide, scalar, stride, g == Group::Usual,
                   [&](double* first, Index lanes) {
                       return engine::extend_wide(first, lanes, m, s.rows, s.c, s.y);
                   });
    });
}

TEST(wide_line_extension_is_the_scalar_kernel_bit_for_bit) {
    Rng rng(12);
    each_case({3, 4, 9, 12}, [&](double scale, Index m, Index count, Group g) {
        // Samples 0 and 1; the states (any values do) take sample 1.
        const double h = rng.uniform(0.1, 3.0);
        Matrix y(2, m);
        for (double& v : y.data) v = rng.normal();
        const double delta[] = {1.0,
                                g == Group::ZeroWeight ? INFINITY : rng.uniform(0.5, 2.0) / scale};
        const double x[] = {0.0, h};
        const engine::LineModel model(x, y, delta);
        const Index stride = engine::LineModel::state_size(m);
        std::vector<double> wide(count * stride);
        for (double& v : wide) v = scale * rng.normal();
        for (Index k = 0; k < count; ++k) {
            wide[k * stride] = scale * rng.uniform(0.5, 2.0);
            wide[k * stride + 2] = scale * rng.uniform(0.5, 2.0);
        }
        // Lane 1's slope column already at the new end: nothing is left of the
        // data row for the second rotation.
        if (g == Group::ZeroPivotLane) wide[stride + 1] = h * wide[stride];
        if (g == Group::NanLane) wide[stride + 2] = NAN;
        const std::vector<double> before = wide;
        std::vector<double> scalar = wide;
        model.extend_packed(wide.data(), count, 1);
        for (Index k = 0; k < count; ++k) model.extend(scalar.data() + k * stride, 1);
        // Lines take a NaN lane: they have no NaN times zero.
        const bool usual = g == Group::Usual || g == Group::NanLane;
        check_wide(before, wide, scalar, stride, usual, [&](double* first, Index lanes) {
            return engine::extend_lines_wide(first, lanes, m, h, 1.0 / delta[1], y.row(1));
        });
    });
}

TEST(wide_ar1_extension_is_the_scalar_kernel_bit_for_bit) {
    // The states of every start up to sample b - 1, as the search holds them,
    // fed sample b together (four at a time) and one by one.
    Rng rng(13);
    for (int trial = 0; trial < 24; ++trial) {
        const Index n = 8 + rng.below(20), m = 1 + rng.below(3), b = n - 1;
        CONTEXT("trial ", trial, ", n ", n, ", m ", m);
        const PreparedData data = vt::random_samples(rng, n, m, trial % 2 == 1, trial % 3 == 0);
        const double phi = trial % 2 == 1 ? rng.uniform(0.0, 0.95) : rng.uniform(-0.9, 0.95);
        auto correlations = engine::ar1_correlations(data.x, phi);
        CHECK(correlations.ok());
        const engine::Ar1Model model = engine::make_ar1_model(
            data, rng.uniform(0.05, 0.99), Precondition::None, correlations.value());
        const Index stride = engine::Ar1State::size(m), count = b - 1;
        std::vector<double> rhs(m), wide(count * stride);
        for (Index l = 0; l < count; ++l) {
            double* st = wide.data() + l * stride;
            engine::Ar1State::start(model, st, l);
            for (Index r = l + 2; r < b; ++r) {
                model.row_rhs(r, rhs.data());
                engine::Ar1State::extend_packed(model, st, 1, r, rhs.data());
            }
        }
        // A first pivot of zero in one lane leaves a later pair all zero:
        // that rotation is none, in the scalar kernel and in its lane.
        if (trial % 4 == 1) wide[stride] = 0.0;
        std::vector<double> scalar = wide;
        model.row_rhs(b, rhs.data());
        engine::Ar1State::extend_packed(model, wide.data(), count, b, rhs.data());
        for (Index l = 0; l < count; ++l)
            engine::Ar1State::extend_packed(model, scalar.data() + l * stride, 1, b, rhs.data());
        CHECK(same(wide, scalar, count * stride));
    }
}

}  // namespace
