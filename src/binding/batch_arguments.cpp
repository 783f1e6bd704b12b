// The shared argument readers of batch_arguments.hpp, and the metric
// argument of batch_object.hpp.
#include "binding/batch_arguments.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/cube_object.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"
#include "model/algebra.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit {

bool convert_metric(PyObject* object, Metric& out) noexcept {
    if (object == nullptr) return true;
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument 'metric' must be 'qtm' or 'htm', not '%s'",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(object, "qtm") == 0) {
        out = Metric::qtm;
    } else if (PyUnicode_CompareWithASCIIString(object, "htm") == 0) {
        out = Metric::htm;
    } else {
        PyErr_Format(PyExc_ValueError, "argument 'metric' must be 'qtm' or 'htm', not %R", object);
        return false;
    }
    return true;
}

bool match_some_keyword_only(const char* function, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<const char* const> names,
                             std::size_t positional, std::size_t required,
                             std::span<PyObject*> out) noexcept {
    if (static_cast<std::size_t>(nargs) > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                     function, positional, positional == 1 ? "" : "s", nargs);
        return false;
    }
    return match_arguments(function, args, nargs, kwnames, names, required, out);
}

bool convert_flag(PyObject* object, bool& out) noexcept {
    if (object == nullptr) return true;
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

OwnedRef numpy_attribute(const char* dotted_module, const char* name) noexcept {
    OwnedRef module(PyImport_ImportModule(dotted_module));
    if (!module) return module;
    return OwnedRef(PyObject_GetAttrString(module.get(), name));
}

bool convert_seed(PyObject* object, std::optional<std::uint64_t>& out) {
    out.reset();
    if (object == nullptr || object == Py_None) return true;
    OwnedRef drawn;
    if (!PyIndex_Check(object)) {
        OwnedRef generator = numpy_attribute("numpy.random", "Generator");
        if (!generator) return false;
        const int is_generator = PyObject_IsInstance(object, generator.get());
        if (is_generator < 0) return false;
        if (is_generator == 0) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'seed' must be None, an int or a numpy.random.Generator, not '%s'",
                         Py_TYPE(object)->tp_name);
            return false;
        }
        OwnedRef uint64 = numpy_attribute("numpy", "uint64");
        if (!uint64) return false;
        OwnedRef method(PyObject_GetAttrString(object, "integers"));
        OwnedRef low(PyLong_FromLong(0));
        OwnedRef high(PyLong_FromUnsignedLongLong(std::numeric_limits<std::uint64_t>::max()));
        if (!method || !low || !high) return false;
        OwnedRef one(PyLong_FromLong(1));
        if (!one) return false;
        OwnedRef bound(PyNumber_Add(high.get(), one.get()));
        if (!bound) return false;
        OwnedRef call_args(PyTuple_Pack(2, low.get(), bound.get()));
        OwnedRef call_kwargs(PyDict_New());
        if (!call_args || !call_kwargs ||
            PyDict_SetItemString(call_kwargs.get(), "dtype", uint64.get()) < 0) {
            return false;
        }
        drawn = OwnedRef(PyObject_Call(method.get(), call_args.get(), call_kwargs.get()));
        if (!drawn) return false;
        object = drawn.get();
    }
    OwnedRef index(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "argument 'seed' must satisfy 0 <= seed < 2**64, not %R",
                     index.get());
        return false;
    }
    out = value;
    return true;
}

bool read_int_array(PyObject* object, const char* parameter, bool scalar_ok, IntArray& out) {
    OwnedRef asarray = numpy_attribute("numpy", "asarray");
    if (!asarray) return false;
    OwnedRef array(PyObject_CallOneArg(asarray.get(), object));
    if (!array) return false;
    OwnedRef ndim_object(PyObject_GetAttrString(array.get(), "ndim"));
    if (!ndim_object) return false;
    const long ndim = PyLong_AsLong(ndim_object.get());
    if (ndim == -1 && PyErr_Occurred()) return false;
    if (ndim == 0 && scalar_ok) {
        if (!convert_i64(object, parameter, out.scalar)) return false;
        out.rows = out.cols = 1;
        out.ndim = 0;
        return true;
    }
    if (ndim != 1 && (ndim != 2 || scalar_ok)) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must have %s dimensions, not %ld", parameter,
                     scalar_ok ? "0 or 1" : "1 or 2", ndim);
        return false;
    }
    if (ndim == 1) {
        if (!read_integer_vector(array.get(), parameter, out.read)) return false;
    } else {
        OwnedRef shape(PyObject_GetAttrString(array.get(), "shape"));
        if (!shape) return false;
        const Py_ssize_t cols = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 1));
        if (cols < 0) return false;
        if (!read_integer_matrix(array.get(), parameter, static_cast<std::size_t>(cols), out.read)) {
            return false;
        }
        // Rows of no moves are still rows: the reader counts an empty array
        // as none.
        const Py_ssize_t rows = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 0));
        if (rows < 0) return false;
        out.rows = static_cast<std::size_t>(rows);
        out.cols = static_cast<std::size_t>(cols);
        out.ndim = 2;
        return true;
    }
    out.rows = out.read.elements.rows;
    out.cols = out.read.elements.cols;
    out.ndim = static_cast<int>(ndim);
    return true;
}

bool is_batch(PyObject* object) noexcept {
    PyTypeObject* type = cube_batch_type();
    return type != nullptr && PyObject_TypeCheck(object, type);
}

const char* cube_name(const CubeBatchObject* batch) noexcept {
    return std::holds_alternative<StateVector<Cube3x3>>(batch->storage) ? "Cube3x3" : "Cube2x2";
}

bool check_other(const char* parameter, CubeBatchObject* self, PyObject* other) {
    if (!is_batch(other)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be CubeBatch, not '%s'", parameter,
                     Py_TYPE(other)->tp_name);
        return false;
    }
    CubeBatchObject* batch = as_batch(other);
    if (batch->storage.index() != self->storage.index()) {
        PyErr_Format(PyExc_TypeError, "argument '%s' holds %s cubes, not the %s cubes of this batch",
                     parameter, cube_name(batch), cube_name(self));
        return false;
    }
    return true;
}

bool check_length(const char* parameter, std::size_t given, std::size_t n, bool one_ok) noexcept {
    if (given == n || (one_ok && given == 1)) return true;
    if (one_ok) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must hold %zu cubes or 1, not %zu", parameter,
                     n, given);
    } else {
        PyErr_Format(PyExc_ValueError, "argument '%s' must hold %zu cubes, not %zu", parameter, n,
                     given);
    }
    return false;
}

bool read_positions(PyObject* indices, std::size_t n, std::vector<std::size_t>& positions) {
    OwnedRef asarray = numpy_attribute("numpy", "asarray");
    if (!asarray) return false;
    OwnedRef array(PyObject_CallOneArg(asarray.get(), indices));
    if (!array) return false;
    OwnedRef dtype(PyObject_GetAttrString(array.get(), "dtype"));
    if (!dtype) return false;
    OwnedRef kind(PyObject_GetAttrString(dtype.get(), "kind"));
    if (!kind) return false;
    OwnedRef source(Py_NewRef(array.get()));
    if (PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "b") == 0) {
        OwnedRef ndim(PyObject_GetAttrString(array.get(), "ndim"));
        if (!ndim) return false;
        const Py_ssize_t length = PyObject_Length(array.get());
        if (length < 0 && PyErr_Occurred()) {
            PyErr_Clear();
        }
        if (PyLong_AsLong(ndim.get()) != 1 || length != static_cast<Py_ssize_t>(n)) {
            PyErr_Format(PyExc_ValueError, "a boolean mask for 'indices' must have shape (%zu,)", n);
            return false;
        }
        // numpy reads the mask once, into an index array of its own.
        OwnedRef flatnonzero = numpy_attribute("numpy", "flatnonzero");
        if (!flatnonzero) return false;
        source = OwnedRef(PyObject_CallOneArg(flatnonzero.get(), array.get()));
        if (!source) return false;
    }
    IntArray read;
    if (!read_int_array(source.get(), "indices", false, read)) return false;
    if (read.ndim != 1) {
        PyErr_SetString(PyExc_ValueError, "argument 'indices' must have 1 dimension, not 2");
        return false;
    }
    if (!guarded(
            [&] {
                positions.resize(read.rows);
                return true;
            },
            false)) {
        return false;
    }
    const auto size = static_cast<std::int64_t>(n);
    bool in_range = true;
    read.for_each([&](std::size_t k, std::int64_t value) {
        const std::int64_t index = value < 0 ? value + size : value;
        if (index < 0 || index >= size) {
            in_range = false;
            return false;
        }
        positions[k] = static_cast<std::size_t>(index);
        return true;
    });
    if (!in_range) {
        PyErr_SetString(PyExc_IndexError, BATCH_INDEX_ERROR);
        return false;
    }
    return true;
}

}  // namespace twirlkit
