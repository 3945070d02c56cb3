// Cross-validation score over caller-supplied folds.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "options.hpp"

namespace velk {

double cv_score(const VecView& x, const MatView& y, const VecView& delta,
                const std::vector<std::vector<std::int64_t>>& folds, Pruning pruning,
                Precondition precondition, double p, double gamma, Ticker& ticker);

}  // namespace velk
