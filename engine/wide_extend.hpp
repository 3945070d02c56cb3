// The functional search's extension of its packed spline, line and AR(1) states,
// four at a time in one vector register where the processor has AVX2.
#pragma once

#include "segment.hpp"

namespace velk::engine {

// What SegmentState::extend_packed<FastRoot> computes, bit for bit: the wide
// kernel performs the same IEEE operations in the same order, lane by lane
// (the build contracts no multiply-add), and falls back to the scalar kernels
// wherever they would branch.
void extend_packed_wide(double* first, Index count, Index m, const CurvatureRows& rows, double c_b,
                        const VecView& y_b);

// Whether the wide kernel runs on this processor.
bool wide_available();

// The wide kernel alone, for its tests: the four states at first, first +
// SegmentState::size(m), ... extended by the same sample; false, every state
// untouched, when any lane departs from the usual pattern of rotations (as
// the scalar lanes decide) or the processor has no AVX2.
bool extend_wide4(double* first, Index m, const CurvatureRows& rows, double c_b,
                  const VecView& y_b);

// LineModel::extend of four line states at first, first + LineModel::state_size(m),
// ... by the sample at spacing h, weight cb and values yb; false, every state
// untouched, when a lane departs from the usual pattern or the processor has
// no AVX2 (LineModel::extend_packed then extends them one by one).
bool extend_lines_wide4(double* first, Index m, double h, double cb, const double* yb);

// Ar1State::extend_packed's extension of four AR(1) states at first, first +
// Ar1State::size(m), ... by the rows of one sample (its curvature rows, the
// AR row's weights wa and wb and right-hand side rhs); false, every state
// untouched, when the processor has no AVX2.
bool extend_ar1_wide4(double* first, Index m, const CurvatureRows& rows, double wa, double wb,
                      const double* rhs);

}  // namespace velk::engine
