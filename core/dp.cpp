#include "dp.hpp"

namespace velk {

PartitionResult partition_search(const SegmentModel&, double, Pruning) { fail("not implemented"); }

}  // namespace velk
