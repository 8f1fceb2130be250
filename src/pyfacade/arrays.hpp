// Arrays across the boundary, without numpy: inputs read once from any
// object with the buffer protocol (any strides, byte order and real number
// type) or from nested sequences, and results handed out as memoryviews over
// the core's own storage, which numpy.asarray wraps without a copy.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "core/array.hpp"
#include "core/geometry.hpp"
#include "pyfacade/boundary.hpp"
#include "sample/voxel.hpp"

namespace lvx::py {

// ------------------------------------------------------------ inputs
// Each raises TypeError "argument 'NAME': reason" for an object of the wrong
// kind or element type, ValueError "argument 'NAME': reason" for one of the
// wrong shape, and throws PyErrorSet.

// Rows of C numbers: a 2-D buffer of shape (N, C) holding integers or floats,
// or a sequence (not a str) of sequences of exactly C numbers. elements()
// gives them as a span.
template <std::size_t C>
Array<std::array<double, C>> to_rows(PyObject* o, const char* arg);
extern template Array<std::array<double, 2>> to_rows<2>(PyObject*, const char*);
extern template Array<std::array<double, 3>> to_rows<3>(PyObject*, const char*);

// Numbers: a 1-D buffer, or a sequence (not a str) of numbers.
Array<double> to_numbers(PyObject* o, const char* arg);

// A box, ((xmin, ymin, zmin), (xmax, ymax, zmax)): rows as to_rows, exactly two.
Box to_box(PyObject* o, const char* arg);

// Three non-negative ints, (z, y, x): a sequence of three objects with an
// integer value (Python or numpy ints).
sample::ZYX to_zyx(PyObject* o, const char* arg);

// ------------------------------------------------------------ results

// A writable memoryview over the array's storage, which it takes over: its
// format is the element type's ("d", "B", "H", "I" or "i") and its shape the
// array's.
template <class T>
Ref array_to_py(Array<T>&& a);
Ref array_to_py(PhaseArray&& a);

}  // namespace lvx::py
