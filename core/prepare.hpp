// Input preparation: size checks, finite filter, sort by x, merge of equal x.
#pragma once

#include "array.hpp"
#include "cancel.hpp"
#include "input_error.hpp"

namespace velk {

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
