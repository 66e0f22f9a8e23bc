// Binding call arguments to parameters, and converting bound arguments to C++ values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

namespace kestrane::python {

// A function's parameters: each positional-or-keyword, required, without default.
struct Signature {
  const char* full_name;                  // "RawReader.__new__()", used in every message
  std::span<const char* const> params;    // parameter names, in order
};

// Binds a vectorcall (`args[0..nargs)` positional, then one value per name in `kwnames`).
// On success `bound[i]` is a borrowed reference to the argument of parameter i; on failure
// TypeError is set and false returned. `bound` has one element per parameter.
bool bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> bound);

// The same for a tuple of positional arguments and a dictionary of keywords (or nullptr).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> bound);

// Conversions of a bound argument. On failure the exception is set and false returned; a
// TypeError is replaced by TypeError("argument '<param>': <message>") with the same __cause__,
// anything else passes through.

// An instance of str (or a subclass) to its UTF-8 text; a lone surrogate raises
// UnicodeEncodeError.
bool convert_str(PyObject* obj, const char* param, std::string& out);

// An int (or a subclass), or anything with __index__, to an unsigned 64-bit value; a negative
// value or one of 2**64 or more raises OverflowError.
bool convert_index(PyObject* obj, const char* param, std::uint64_t& out);

}  // namespace kestrane::python
