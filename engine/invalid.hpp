// A caller's mistake found by the engine, reported as a value; its message is
// what the public API's users read.
#pragma once

#include <string>

#include "input_error.hpp"

namespace velk::engine {

struct InvalidInput {
    std::string message;
};

template <class T>
using Checked = Outcome<T, InvalidInput>;

}  // namespace velk::engine
