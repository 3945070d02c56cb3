// Natural cubic smoothing spline of one run of samples.
#pragma once

#include "array.hpp"
#include "cancel.hpp"
#include "ppform.hpp"

namespace velk {

// x: N strictly increasing; y: N x dim; w: N positive weights; 0 <= p <= 1.
// Minimises p*sum w_k (y_k - f(x_k))^2 + (1-p)*int f''^2 per component.
PPForm csaps(const VecView& x, const MatView& y, const VecView& w, double p, Ticker& ticker);

}  // namespace velk
