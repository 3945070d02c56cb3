// Converters from Python arguments to the core's types, one per argument kind.
//
// Each returns false with a Python error set. named() puts the argument's name
// in front of a conversion TypeError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "array.hpp"
#include "options.hpp"
#include "python.hpp"
#include "ref.hpp"

namespace velk_py {

// A 1-D float64 array read in place; absent when None was allowed and given.
struct VecArg {
    Ref array;  // keeps the memory alive (and unresizable) during the call
    velk::VecView view;
    const velk::VecView* get() const { return array ? &view : nullptr; }
};

// A 2-D float64 array read in place, rows = samples.
struct MatArg {
    Ref array;
    velk::MatView view;
};

// A str argument as UTF-8 bytes; `object` is null when the default was used.
struct TextArg {
    Ref object;
    std::string bytes;
};

using Folds = std::vector<std::vector<std::int64_t>>;

bool convert_vec(PyObject* obj, bool none_allowed, VecArg& out);
bool convert_mat(PyObject* obj, MatArg& out);
bool convert_double(PyObject* obj, double& out);
bool convert_text(PyObject* obj, const char* fallback, TextArg& out);
bool convert_folds(PyObject* obj, Folds& out);
// A sequence of integers (a NumPy integer array included).
bool convert_indices(PyObject* obj, std::vector<std::int64_t>& out);

// Passes ok through; on failure replaces an exact TypeError by
// "argument '<name>': <message>" with the same cause.
bool named(const char* name, bool ok);

// The trailing `pruning` and `precondition` arguments of both raw entries
// (null when omitted): converted first, then parsed, so that a conversion
// error wins over an unknown option.
bool convert_options(PyObject* pruning_obj, PyObject* precondition_obj, velk::Pruning& pruning,
                     velk::Precondition& precondition);

// "none" or "local" in any letter case.
bool parse_precondition(const TextArg& text, velk::Precondition& out);
std::string ascii_lower(std::string text);

// Sets "expected <what>, got <the type of obj>" as a TypeError; false.
bool expected(const char* what, PyObject* obj);

// Copies any strided matrix or vector into a contiguous one.
velk::Matrix copy_matrix(const velk::MatView& m);
std::vector<double> copy_vector(const velk::VecView& v);

}  // namespace velk_py
