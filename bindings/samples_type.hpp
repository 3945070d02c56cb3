// velk._engine.Samples: prepared samples as a Python value, shared read-only by
// every fit of a search (threads included) and picklable for process pools.
#pragma once

#include "python.hpp"
#include "samples.hpp"

namespace velk_py {

// Creates the type (once per process); false with a Python error set.
bool init_samples_type(PyObject* module);

// A new Samples object owning `samples`, or null with a Python error set.
PyObject* wrap_samples(velk::engine::Samples&& samples);

// The samples of a Samples object, or null with a TypeError naming `name` set.
const velk::engine::Samples* samples_of(PyObject* obj, const char* name);

}  // namespace velk_py
