// Segment energy: the smoothing-spline objective minimised over one run of
// samples, grown one sample at a time in constant work.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "chk.hpp"
#include "options.hpp"

namespace velk {

struct SegmentModel {
    MatView y;                // n x dim, the prepared values
    std::vector<double> h;    // n-1 spacings
    std::vector<double> c;    // n data-row factors sqrt(p)/delta_i
    std::vector<double> tau;  // n slope scales
    double s = 0.0;           // sqrt(1-p)

    Index n() const { return c.size(); }
    Index dim() const { return y.cols(); }
};

// Builds c, h, s and tau (local_tau under Precondition::Local, else all 1.0).
SegmentModel make_segment_model(const PreparedData& data, double p, Precondition precondition);

std::vector<double> local_tau(const std::vector<double>& h, const std::vector<double>& c, double s);

// Prefix energies E(0, r) (0 for r < 2); the samples fed count is n.
std::vector<double> prefix_energies(const SegmentModel& model);

}  // namespace velk
