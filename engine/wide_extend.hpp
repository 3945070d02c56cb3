// The functional search's extension of its packed spline, line and AR(1) states,
// four or eight at a time in vector registers where the processor has AVX2.
#pragma once

#include "segment.hpp"

namespace velk::engine {

// What SegmentState::extend_packed<FastRoot> computes, bit for bit: the wide
// kernel performs the same IEEE operations in the same order, lane by lane
// (the build contracts no multiply-add), and falls back to the scalar kernels
// wherever they would branch.
void extend_packed_wide(double* first, Index count, Index m, const CurvatureRows& rows, double c_b,
                        const VecView& y_b);

// Whether the wide kernels run on this processor.
bool wide_available();

// The wide kernels alone: `lanes` (4 or 8) states packed from first, extended
// by one sample as the scalar kernels named do; false, every state untouched,
// when any lane departs from the usual pattern of rotations (as the scalar
// lanes decide) or the processor has no AVX2.
// SegmentState::extend<FastRoot>:
bool extend_wide(double* first, Index lanes, Index m, const CurvatureRows& rows, double c_b,
                 const VecView& y_b);
// LineModel::extend, by the sample at spacing h, weight cb and values yb:
bool extend_lines_wide(double* first, Index lanes, Index m, double h, double cb, const double* yb);
// Ar1State::extend_packed, by the rows of one sample (its curvature rows, the
// AR row's weights wa and wb and right-hand side rhs); no lane departs:
bool extend_ar1_wide(double* first, Index lanes, Index m, const CurvatureRows& rows, double wa,
                     double wb, const double* rhs);

// Feeds `count` states packed from first (`stride` doubles apart) to
// wide(group, lanes) in groups of eight, then four, and to one(state) one by
// one: the rest, and every lane of a group that the wide kernel declines.
template <class Wide, class One>
void extend_in_groups(double* first, Index count, Index stride, Wide wide, One one) {
    Index k = 0;
    while (k < count) {
        const Index lanes = count - k >= 8 ? 8 : count - k >= 4 ? 4 : 1;
        double* group = first + k * stride;
        if (lanes == 1 || !wide(group, lanes))
            for (Index w = 0; w < lanes; ++w) one(group + w * stride);
        k += lanes;
    }
}

}  // namespace velk::engine
