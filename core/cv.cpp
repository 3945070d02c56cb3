#include "cv.hpp"

namespace velk {

double cv_score(const VecView&, const MatView&, const VecView&,
                const std::vector<std::vector<std::int64_t>>&, Pruning, Precondition, double, double) {
    fail("not implemented");
}

}  // namespace velk
