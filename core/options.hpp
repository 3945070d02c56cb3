// The two options of a fit, as one-byte codes.
#pragma once

#include <cstdint>

namespace velk {

enum class Pruning : std::uint8_t { FPVI = 0, PELT = 1 };
enum class Precondition : std::uint8_t { None = 0, Local = 1 };

}  // namespace velk
