// Partition search: best split of the samples into segments, gamma per jump.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "options.hpp"
#include "segment.hpp"

namespace velk {

struct PartitionResult {
    std::vector<double> F;                 // n: best cost of each prefix 0..r
    std::vector<Index> partition;          // n: first sample of the last segment of that prefix
    std::uint64_t complexity_counter = 0;  // samples fed into segment states
};

PartitionResult partition_search(const SegmentModel& model, double gamma, Pruning pruning,
                                 Ticker& ticker);

}  // namespace velk
