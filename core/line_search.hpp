// Partition search for p = 0: segments scored by weighted least-squares lines.
#pragma once

#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "partition_search.hpp"

namespace velk {

PartitionResult line_partition_search(const std::vector<double>& x, const Matrix& y,
                                      const std::vector<double>& delta, double gamma,
                                      Ticker& ticker);

}  // namespace velk
