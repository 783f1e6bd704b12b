#include "binding/binding.hpp"

#include <limits>

#include "runtime/buffer_cache.hpp"

namespace twirlkit {

namespace {

PyObject* panic_type = nullptr;
PyObject* unreadable_array = nullptr;

PyDoc_STRVAR(UnreadableArrayError__doc__,
             "An argument array that cannot be read in place (strided, misaligned or\n"
             "borrowed for writing).\n\n"
             "Both a PanicException and a ValueError: `except Exception` catches it,\n"
             "so worker processes report it instead of dying.");

PyDoc_STRVAR(PanicException__doc__,
             "An internal failure of twirlkit that has no exception of its own.\n\n"
             "Derived from BaseException, so that `except Exception` does not hide it.");

void prefix_type_error(const char* parameter) noexcept {
    if (parameter == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef text(value ? PyObject_Str(value) : nullptr);
    if (text) {
        PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, text.get());
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    } else {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
}

bool too_many(const char* function, std::size_t limit, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function, limit,
                 limit == 1 ? "" : "s", given);
    return false;
}

// Finds the parameter whose name equals `key`; returns names.size() if none.
std::size_t find_keyword(PyObject* key, std::span<const char* const> names) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
    }
    return names.size();
}

bool place_keyword(const char* function, PyObject* key, PyObject* value,
                   std::span<const char* const> names, std::span<PyObject*> out) noexcept {
    const std::size_t index = find_keyword(key, names);
    if (index == names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                     key);
        return false;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                     function, names[index], index + 1);
        return false;
    }
    out[index] = value;
    return true;
}

bool check_required(const char* function, std::span<const char* const> names,
                    std::size_t required, std::span<PyObject*> out) noexcept {
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                         function, names[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("twirlkit.PanicException", PanicException__doc__,
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

PyObject* raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

PyObject* unreadable_array_type() noexcept {
    if (unreadable_array == nullptr) {
        PyObject* panic = panic_exception_type();
        OwnedRef bases(panic ? PyTuple_Pack(2, panic, PyExc_ValueError) : nullptr);
        if (!bases) return nullptr;
        unreadable_array = PyErr_NewExceptionWithDoc(
            "twirlkit.UnreadableArrayError", UnreadableArrayError__doc__, bases.get(), nullptr);
    }
    return unreadable_array;
}

PyObject* raise_unreadable_array(const char* message) noexcept {
    PyObject* type = unreadable_array_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

SetAsideError::SetAsideError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
#endif
}

SetAsideError::~SetAsideError() {
    PyErr_Clear();  // whatever the work in between left
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_);
#else
    PyErr_Restore(type_, value_, traceback_);
#endif
}

void SetAsideError::add_note(PyObject* note) noexcept {
    OwnedRef text(note);
    if (!text || value_ == nullptr) return;
    OwnedRef done(PyObject_CallMethod(value_, "add_note", "O", text.get()));
}

PyObject* raise_memory_error(const std::bad_alloc& error) noexcept {
    const bool described = dynamic_cast<const AllocationError*>(&error) != nullptr;
    PyErr_SetString(PyExc_MemoryError, described ? error.what() : "out of memory");
    return nullptr;
}

bool SignalScope::poll_lock_held(void*) { return PyErr_CheckSignals() != 0; }

namespace {

// Whether the calling thread is the interpreter's main thread, the only one
// that runs signal handlers: 1 yes, 0 no, -1 with the exception of a handler
// that ran meanwhile (asking the threading module runs Python code). Without
// the threading module only the main thread can have called us, or so we
// assume: a wrong guess costs only a useless poll.
int on_main_thread_lock_held() noexcept {
    OwnedRef name(PyUnicode_FromString("threading"));
    if (!name) return -1;
    OwnedRef threading(PyImport_GetModule(name.get()));
    if (!threading) return PyErr_Occurred() ? -1 : 1;
    OwnedRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    OwnedRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    return value == PyThread_get_thread_ident() ? 1 : 0;
}

}  // namespace

bool SignalScope::poll_lock_released(void* self_ptr) {
    auto* self = static_cast<SignalScope*>(self_ptr);
    if (self->thread_ == Thread::other) return false;
    return self->unlocked_->with_lock([self] {
        if (PyErr_CheckSignals() != 0) return true;
        if (self->thread_ == Thread::unknown) {
            const int main = on_main_thread_lock_held();
            if (main < 0) return true;
            self->thread_ = main ? Thread::main : Thread::other;
        }
        return false;
    });
}

bool match_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<const char* const> names, std::size_t required,
                     std::span<PyObject*> out) noexcept {
    for (PyObject*& slot : out) slot = nullptr;
    if (static_cast<std::size_t>(nargs) > names.size()) {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        return too_many(function, names.size(), nargs + nkw);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!place_keyword(function, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], names,
                               out)) {
                return false;
            }
        }
    }
    return check_required(function, names, required, out);
}

bool match_keyword_only(const char* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::span<const char* const> names,
                        std::span<PyObject*> out) noexcept {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given",
                     function, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    return match_arguments(function, args, nargs, kwnames, names, 0, out);
}

bool match_tuple_arguments(const char* function, PyObject* args, PyObject* kwargs,
                           std::span<const char* const> names, std::size_t required,
                           std::span<PyObject*> out) noexcept {
    for (PyObject*& slot : out) slot = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > names.size()) {
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        return too_many(function, names.size(), nargs + nkw);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!place_keyword(function, key, value, names, out)) return false;
        }
    }
    return check_required(function, names, required, out);
}

bool reject_arguments(const char* function, PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t given = PyTuple_GET_SIZE(args) + (kwargs ? PyDict_GET_SIZE(kwargs) : 0);
    if (given == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, given);
    return false;
}

namespace {

// int(object) through __index__, as the interpreter converts integer
// arguments; a TypeError names the parameter.
// The interpreter's OverflowError names no parameter; the note does.
void note_range(const char* parameter, const char* low, const char* high) noexcept {
    if (parameter == nullptr || !PyErr_ExceptionMatches(PyExc_OverflowError)) return;
    SetAsideError error;
    error.add_note(PyUnicode_FromFormat("argument '%s' must be an integer from %s to %s",
                                        parameter, low, high));
}

OwnedRef index_of(PyObject* object, const char* parameter) noexcept {
    OwnedRef index(PyNumber_Index(object));
    if (!index) prefix_type_error(parameter);
    return index;
}

}  // namespace

bool convert_u32(PyObject* object, const char* parameter, std::uint32_t& out) noexcept {
    OwnedRef index = index_of(object, parameter);
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if ((value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) ||
        value > std::numeric_limits<std::uint32_t>::max()) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_OverflowError,
                            "Python int too large to convert to C unsigned int");
        }
        note_range(parameter, "0", "4294967295");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_i64(PyObject* object, const char* parameter, std::int64_t& out) noexcept {
    OwnedRef index = index_of(object, parameter);
    if (!index) return false;
    static_assert(sizeof(long long) == sizeof(std::int64_t));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        note_range(parameter, "-9223372036854775808", "9223372036854775807");
        return false;
    }
    out = value;
    return true;
}

bool convert_isize(PyObject* object, const char* parameter, Py_ssize_t& out) noexcept {
    OwnedRef index = index_of(object, parameter);
    if (!index) return false;
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) {
        note_range(parameter, "-9223372036854775808", "9223372036854775807");
        return false;
    }
    out = value;
    return true;
}

bool convert_saturated_i64(PyObject* object, const char* parameter, std::int64_t& out) noexcept {
    OwnedRef index(PyBool_Check(object) ? nullptr : PyNumber_Index(object));
    if (!index) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        raise_conversion_error(object, "int", parameter);
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    out = overflow > 0   ? std::numeric_limits<std::int64_t>::max()
          : overflow < 0 ? std::numeric_limits<std::int64_t>::min()
                         : value;
    return true;
}

bool convert_f64(PyObject* object, const char* parameter, double& out) noexcept {
    // PyFloat_AsDouble takes __float__ and __index__ but never parses a str.
    const double value = PyBool_Check(object) ? -1.0 : PyFloat_AsDouble(object);
    if (PyBool_Check(object) || (value == -1.0 && PyErr_Occurred())) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        raise_conversion_error(object, "float", parameter);
        return false;
    }
    out = value;
    return true;
}

bool convert_utf8(PyObject* object, const char* parameter, std::string_view& out) noexcept {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, "str", parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;  // the encoding error, e.g. a lone surrogate
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

void raise_conversion_error(PyObject* given, const char* expected,
                            const char* parameter) noexcept {
    if (parameter != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'",
                     parameter, Py_TYPE(given)->tp_name, expected);
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                     Py_TYPE(given)->tp_name, expected);
    }
}

int add_public(PyObject* module, const char* name, PyObject* value) noexcept {
    OwnedRef owned(value);
    if (!owned) return -1;
    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = OwnedRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "twirlkit.__all__ must be a list");
        return -1;
    }
    OwnedRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttr(module, text.get(), owned.get());
}

}  // namespace twirlkit
