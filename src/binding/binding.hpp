// The binding kit shared by every Python-facing file: owned references, the
// interpreter-lock and borrow guards, the panic exception, the guard that
// keeps C++ exceptions out of the interpreter, and the argument matcher and
// converters. Everything here runs with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include <cxxabi.h>

#include "runtime/borrow.hpp"
#include "runtime/parallel.hpp"

// A macro's value as a string literal, for docstrings that show a default.
#define TWIRLKIT_STRINGIFY_VALUE(x) #x
#define TWIRLKIT_STRINGIFY(x) TWIRLKIT_STRINGIFY_VALUE(x)

namespace twirlkit {

// Owns one strong reference. Replaces "Py_XDECREF(x); ... goto exit;".
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    ~OwnedRef() { Py_XDECREF(object_); }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XSETREF(object_, other.release());
        }
        return *this;
    }
    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Releases the interpreter lock for a native section and takes it back on
// every path. Replaces Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS.
//
// At interpreter exit CPython (3.11 to 3.13) ends a daemon thread that asks
// for the lock again with pthread_exit, a forced unwind. So neither the
// destructor nor any frame between the release and the retake may be
// noexcept, and a catch (...) there must rethrow abi::__forced_unwind.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() noexcept(false) {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

    // Runs f() with the lock taken back for a moment, then releases it again.
    // If the retake ends the thread, the destructor must not retake it again.
    template <class F>
    auto with_lock(F&& f) -> decltype(f()) {
        PyEval_RestoreThread(std::exchange(state_, nullptr));
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return f();
    }

private:
    PyThreadState* state_;
};

// Lets a long native call answer Ctrl-C (runtime/parallel.hpp, Cancellation):
// for the scope of this object the call polls for pending signals every few
// milliseconds, on the calling thread only. If a handler raises, the call
// throws Cancelled, which `guarded` turns back into that exception.
//
// With the lock held, the poll runs the handlers directly. With the lock
// released (pass the ReleaseGil), it takes the lock back to do so, and only
// on the main thread, the one thread that runs handlers.
class SignalScope {
public:
    SignalScope() noexcept : scope_(&poll_lock_held, nullptr) {}
    explicit SignalScope(ReleaseGil& unlocked) noexcept
        : unlocked_(&unlocked), scope_(&poll_lock_released, this) {}
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

private:
    static bool poll_lock_held(void*);
    static bool poll_lock_released(void* self);

    ReleaseGil* unlocked_ = nullptr;
    enum class Thread { unknown, main, other } thread_ = Thread::unknown;
    CancelScope scope_;
};

// Every flag is read and written with the interpreter lock held (the batch
// kernels release it only between taking and dropping their hold). Where
// there is such a lock the flag ops need no atomic read-modify-write; a
// free-threaded interpreter gets the compare-and-swap forms.
#ifdef Py_GIL_DISABLED
inline constexpr bool FLAGS_SERIALISED_BY_GIL = false;
#else
inline constexpr bool FLAGS_SERIALISED_BY_GIL = true;
#endif

inline constexpr const char* ALREADY_BORROWED = "Already borrowed";
inline constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";

// Borrow holds that raise the RuntimeError of a conflict when they fail.
class PySharedHold {
public:
    explicit PySharedHold(BorrowFlag& flag) noexcept : hold_(flag) {
        if (!hold_) PyErr_SetString(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(hold_); }

private:
    BasicSharedHold<FLAGS_SERIALISED_BY_GIL> hold_;
};

// The shared hold of a call that releases the interpreter lock: a child
// forked meanwhile by another thread does not inherit it.
class PyForkSafeSharedHold {
public:
    explicit PyForkSafeSharedHold(BorrowFlag& flag) noexcept : hold_(flag, FLAGS_SERIALISED_BY_GIL) {
        if (!hold_) PyErr_SetString(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(hold_); }

private:
    ForkSafeSharedHold hold_;
};

// What a call that releases the interpreter lock may hold meanwhile: a
// fork-safe shared hold of the batch it reads, or nothing (the call makes a
// new batch that no one else can see yet). A PySharedHold does not convert,
// so that a reader that forgets the fork-safe kind does not compile.
class HeldWhileReleased {
public:
    HeldWhileReleased(const PyForkSafeSharedHold&) noexcept {}  // NOLINT: implicit on purpose
    static HeldWhileReleased nothing() noexcept { return HeldWhileReleased(); }

private:
    HeldWhileReleased() noexcept = default;
};

class PyExclusiveHold {
public:
    explicit PyExclusiveHold(BorrowFlag& flag) noexcept : hold_(flag) {
        if (!hold_) PyErr_SetString(PyExc_RuntimeError, ALREADY_BORROWED);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(hold_); }

private:
    BasicExclusiveHold<FLAGS_SERIALISED_BY_GIL> hold_;
};

// PanicException derives from BaseException and is created once per process.
PyObject* panic_exception_type() noexcept;
// Sets PanicException with `message`; returns nullptr for tail calls.
PyObject* raise_panic(const char* message) noexcept;
// The exception of an argument array that cannot be read in place: a
// subclass of both PanicException and ValueError, created once per process.
PyObject* unreadable_array_type() noexcept;
PyObject* raise_unreadable_array(const char* message) noexcept;
// Sets the exception being raised aside for the life of this object, so that
// the interpreter can be used meanwhile, and raises it again at the end.
class SetAsideError {
public:
    SetAsideError() noexcept;
    ~SetAsideError();
    SetAsideError(const SetAsideError&) = delete;
    SetAsideError& operator=(const SetAsideError&) = delete;

    // Adds `note` (a new reference to a str, stolen; nullptr is ignored) as a
    // PEP 678 note. The exception stays as it was if that fails (or before
    // Python 3.11, which has no notes).
    void add_note(PyObject* note) noexcept;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};
// MemoryError with the text of an AllocationError (runtime/buffer_cache.hpp),
// which says what could not be allocated, else "out of memory".
PyObject* raise_memory_error(const std::bad_alloc& error) noexcept;

// Runs a binding body and maps any C++ exception to a Python one, so that
// none crosses into the interpreter: std::bad_alloc becomes MemoryError,
// Cancelled the exception its poll left set, anything else PanicException
// with its message. The forced unwind that ends a thread at interpreter exit
// passes (see ReleaseGil), which is why this is not noexcept; a caller that
// releases the lock, or polls for signals, must not be noexcept either.
template <class F>
TWIRLKIT_PASSES_FORCED_UNWIND auto guarded(F&& body, decltype(body()) failure)
    -> decltype(body()) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc& error) {
        raise_memory_error(error);
    } catch (const Cancelled&) {
        if (!PyErr_Occurred()) raise_panic("call cancelled without a reason");
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return failure;
}
template <class F>
PyObject* guarded(F&& body) {
    return guarded(static_cast<F&&>(body), static_cast<PyObject*>(nullptr));
}

// The IndexError of every position outside a batch.
inline constexpr const char* BATCH_INDEX_ERROR = "cubeBatch index out of range";

// Matches the arguments of a METH_FASTCALL | METH_KEYWORDS call to parameter
// names. The first `required` names are required; the matched objects are
// stored as borrowed references in `out`, nullptr where an optional argument
// is absent. Raises TypeError in the interpreter's usual words.
bool match_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<const char* const> names, std::size_t required,
                     std::span<PyObject*> out) noexcept;
// match_arguments for a call whose parameters are all keyword-only: any
// positional argument raises TypeError in the interpreter's words.
bool match_keyword_only(const char* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::span<const char* const> names,
                        std::span<PyObject*> out) noexcept;
// The same for the tuple-and-dict convention of constructors.
bool match_tuple_arguments(const char* function, PyObject* args, PyObject* kwargs,
                           std::span<const char* const> names, std::size_t required,
                           std::span<PyObject*> out) noexcept;
// Raises TypeError when a no-argument constructor is given any argument.
bool reject_arguments(const char* function, PyObject* args, PyObject* kwargs) noexcept;

// Converters. Each returns false with an exception set; a TypeError carries
// the parameter's name in front of its text, other errors are left as the
// interpreter raised them.
bool convert_u32(PyObject* object, const char* parameter, std::uint32_t& out) noexcept;
bool convert_i64(PyObject* object, const char* parameter, std::int64_t& out) noexcept;
bool convert_isize(PyObject* object, const char* parameter, Py_ssize_t& out) noexcept;
// A count or a limit: what operator.index accepts except a bool (True is
// no count), held to the int64 range (a larger int gives its nearest end);
// anything else is TypeError "argument '<parameter>': '<type>' object cannot
// be converted to 'int'".
bool convert_saturated_i64(PyObject* object, const char* parameter, std::int64_t& out) noexcept;
// A number of seconds or the like: what float() accepts of numbers (an
// object with __float__ or __index__) except a bool; a str or anything else
// is TypeError "... cannot be converted to 'float'". An int too large for a
// double is the interpreter's OverflowError.
bool convert_f64(PyObject* object, const char* parameter, double& out) noexcept;
// UTF-8 bytes of a str, owned by the str (valid while `object` lives).
bool convert_utf8(PyObject* object, const char* parameter, std::string_view& out) noexcept;

// TypeError "'<given type>' object cannot be converted to '<expected>'",
// prefixed with "argument '<parameter>': " when a parameter is named.
void raise_conversion_error(PyObject* given, const char* expected,
                            const char* parameter) noexcept;

// The class object of `type_spec`, created on first use and then kept in `slot`
// for the life of the process. The module's execution step makes that first
// use for every class, before the module is visible to any other thread, so
// later calls only read the slot, with or without the interpreter lock.
inline PyTypeObject* type_from_spec_once(PyTypeObject*& slot, PyType_Spec& type_spec) noexcept {
    if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return slot;
}

// Adds `name` = `value` (a new reference, stolen) to the module and appends
// the name to its __all__ list; returns -1 with an exception set on failure.
int add_public(PyObject* module, const char* name, PyObject* value) noexcept;

}  // namespace twirlkit
