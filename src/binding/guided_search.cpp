// The searches guided by a Python scorer: beam_search, weighted_astar and
// their SearchResult. The searches run with the interpreter lock released;
// the lock is taken back only to hand each step's children to the scorer
// and read its scores.
#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "binding/batch_arguments.hpp"
#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"
#include "kernels/state_kernels.hpp"
#include "model/algebra.hpp"
#include "search/beam_search.hpp"
#include "search/weighted_astar.hpp"

// The member types by their 3.12 names; before 3.12 they come from here.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_DOUBLE T_DOUBLE
#define Py_READONLY READONLY
#endif

namespace twirlkit {

namespace {

// ---------------------------------------------------------------------------
// SearchResult

struct SearchResultObject {
    PyObject_HEAD
    PyObject* moves;
    PyObject* lengths;
    PyObject* expanded;
    double scorer_seconds;
    double search_seconds;
};

void SearchResult_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<SearchResultObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    Py_XDECREF(self->moves);
    Py_XDECREF(self->lengths);
    Py_XDECREF(self->expanded);
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* SearchResult_repr(PyObject* object) {
    auto* self = reinterpret_cast<SearchResultObject*>(object);
    OwnedRef found(PyUnicode_FromFormat("SearchResult(lengths=%R, expanded=%R, ", self->lengths,
                                        self->expanded));
    if (!found) return nullptr;
    // %f is not a format PyUnicode_FromFormat knows.
    char text[96];
    std::snprintf(text, sizeof text, "scorer_seconds=%.6g, search_seconds=%.6g)", self->scorer_seconds,
                  self->search_seconds);
    OwnedRef seconds(PyUnicode_FromString(text));
    if (!seconds) return nullptr;
    return PyUnicode_Concat(found.get(), seconds.get());
}

PyMemberDef SearchResult_members[] = {
    {"moves", Py_T_OBJECT_EX, offsetof(SearchResultObject, moves), Py_READONLY,
     "uint8 array (n, L): the moves of each start's solution, padded with the no-move (12 or 18)."},
    {"lengths", Py_T_OBJECT_EX, offsetof(SearchResultObject, lengths), Py_READONLY,
     "int16 array (n,): each solution's length, -1 where none was found."},
    {"expanded", Py_T_OBJECT_EX, offsetof(SearchResultObject, expanded), Py_READONLY,
     "int64 array (n,): the states each search expanded."},
    {"scorer_seconds", Py_T_DOUBLE, offsetof(SearchResultObject, scorer_seconds), Py_READONLY,
     "Seconds spent inside the scorer."},
    {"search_seconds", Py_T_DOUBLE, offsetof(SearchResultObject, search_seconds), Py_READONLY,
     "Seconds spent in the search outside the scorer."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot SearchResult_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&SearchResult_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&SearchResult_repr)},
    {Py_tp_members, SearchResult_members},
    {Py_tp_doc, const_cast<char*>(
                    "The solutions of beam_search() or weighted_astar(), one per start.\n\n"
                    "moves[i, :lengths[i]] are the moves of start i, in the metric of the\n"
                    "search, and the no-move after them, so that start.apply(moves,\n"
                    "metric=...) reaches every target found. lengths is -1 where nothing was\n"
                    "found; expanded counts the states expanded per start; scorer_seconds is\n"
                    "the time inside the scorer and search_seconds all the rest.")},
    {0, nullptr},
};

PyType_Spec SearchResult_spec = {
    .name = "twirlkit.SearchResult",
    .basicsize = sizeof(SearchResultObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = SearchResult_slots,
};

PyTypeObject* search_result_type_slot = nullptr;

// ---------------------------------------------------------------------------
// Arguments

enum class ScorerInput : std::uint8_t { one_hot, stickers, packed, batch };

inline constexpr std::array<std::string_view, 4> SCORER_INPUT_NAMES{"one_hot", "stickers", "packed",
                                                                    "batch"};
inline constexpr std::array<Element, 1> PACKED_ELEMENTS{Element::uint64};

bool convert_encoding(PyObject* object, ScorerInput& out) noexcept {
    if (object == nullptr) return true;
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'encoding' must be 'one_hot', 'stickers', 'packed' or 'batch', not '%s'",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    for (std::size_t k = 0; k < SCORER_INPUT_NAMES.size(); ++k) {
        if (PyUnicode_CompareWithASCIIString(object, SCORER_INPUT_NAMES[k].data()) == 0) {
            out = static_cast<ScorerInput>(k);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError,
                 "argument 'encoding' must be 'one_hot', 'stickers', 'packed' or 'batch', not %R",
                 object);
    return false;
}

// The dtype of the scorer's array: the default of stickers() or
// to_packed() for None; a batch takes none.
bool convert_input_dtype(PyObject* dtype, ScorerInput input, Element& out) {
    if (dtype == Py_None) dtype = nullptr;
    switch (input) {
        case ScorerInput::one_hot:
        case ScorerInput::stickers:
            return convert_sticker_dtype(dtype, input == ScorerInput::one_hot, out);
        case ScorerInput::packed:
            out = Element::uint64;
            return dtype == nullptr ||
                   convert_dtype(dtype, "dtype", PACKED_ELEMENTS, "for packed words", out);
        case ScorerInput::batch:
            if (dtype == nullptr) return true;
            PyErr_SetString(PyExc_ValueError, "argument 'dtype' must be None with encoding='batch'");
            return false;
    }
    return true;
}

// A count argument of at least `least`; absent leaves `out` as it is.
bool convert_count(PyObject* object, const char* parameter, std::int64_t least, std::int64_t& out) noexcept {
    if (object == nullptr) return true;
    if (!convert_saturated_i64(object, parameter, out)) return false;
    if (out < least) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must be at least %lld, not %lld", parameter,
                     static_cast<long long>(least), static_cast<long long>(out));
        return false;
    }
    return true;
}

// The arguments both searches share.
struct SearchArguments {
    CubeBatchObject* start = nullptr;
    PyObject* scorer = nullptr;
    PyObject* target = nullptr;
    Metric metric = Metric::qtm;
    ScorerInput input = ScorerInput::one_hot;
    Element element = Element::float32;
};

bool convert_common(PyObject* start, PyObject* scorer, PyObject* target, PyObject* metric,
                    PyObject* encoding, PyObject* dtype, const char* scorer_name,
                    SearchArguments& out) {
    if (!is_batch(start)) {
        PyErr_Format(PyExc_TypeError, "argument 'start' must be CubeBatch, not '%s'",
                     Py_TYPE(start)->tp_name);
        return false;
    }
    out.start = as_batch(start);
    if (!PyCallable_Check(scorer)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be callable, not '%s'", scorer_name,
                     Py_TYPE(scorer)->tp_name);
        return false;
    }
    out.scorer = scorer;
    out.target = target == Py_None ? nullptr : target;
    if (out.target != nullptr && !check_other("target", out.start, out.target)) return false;
    return convert_metric(metric, out.metric) && convert_encoding(encoding, out.input) &&
           convert_input_dtype(dtype, out.input, out.element);
}

// ---------------------------------------------------------------------------
// The scorer call

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) noexcept {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Hands the children to the Python scorer and reads its scores back.
class PythonScorer {
public:
    PythonScorer(const SearchArguments& arguments, PyObject* asarray, PyObject* contiguous,
                 PyObject* float64, ReleaseGil& unlocked) noexcept
        : arguments_(arguments), asarray_(asarray), contiguous_(contiguous), float64_(float64),
          unlocked_(unlocked) {}

    double seconds() const noexcept { return seconds_; }

    // With the lock released; throws Cancelled with the Python exception
    // set when the scorer raises, returns a bad result, or a signal handler
    // raises after it returned.
    template <PackedCube C>
    void operator()(std::span<const C> children, std::span<double> scores) {
        OutputBuffer rows;
        Storage states;
        if (arguments_.input == ScorerInput::batch) {
            auto& copy = states.emplace<StateVector<C>>(children.size());
            std::memcpy(static_cast<void*>(copy.data()), children.data(), children.size_bytes());
        } else {
            rows = encode(children);
        }
        const bool scored = unlocked_.with_lock([&] {
            OwnedRef input(arguments_.input == ScorerInput::batch
                               ? new_batch(cube_batch_type(), std::move(states))
                               : buffer_to_ndarray(std::move(rows), 2));
            if (!input) return false;
            const Clock::time_point start = Clock::now();
            OwnedRef returned(PyObject_CallOneArg(arguments_.scorer, input.get()));
            seconds_ += seconds_since(start);
            input = OwnedRef();
            return returned && read_scores(returned.get(), scores) && PyErr_CheckSignals() == 0;
        });
        if (!scored) throw Cancelled();
    }

private:
    template <PackedCube C>
    OutputBuffer encode(std::span<const C> children) const {
        const bool one_hot = arguments_.input == ScorerInput::one_hot;
        const std::size_t width = arguments_.input == ScorerInput::packed
                                      ? C::word_count
                                      : row_width<C>(Encoding{false, one_hot});
        const MatrixShape shape =
            checked_output_shape(children.size(), 1, width, element_size(arguments_.element));
        OutputBuffer rows = OutputBuffer::allocate(shape.rows, shape.cols, arguments_.element);
        if (arguments_.input == ScorerInput::packed) {
            words_of_cubes(children, rows.elements<Word>());
        } else {
            with_element_type(arguments_.element, [&](auto one) {
                using T = decltype(one);
                encode_sticker_rows(children, Encoding{false, one_hot}, rows.elements<T>(), one);
            });
        }
        return rows;
    }

    // One real score per child, copied out of the caller's array once and
    // checked in the copy.
    bool read_scores(PyObject* returned, std::span<double> scores) const {
        OwnedRef array(PyObject_CallOneArg(asarray_, returned));
        if (!array) return false;
        OwnedRef dtype(PyObject_GetAttrString(array.get(), "dtype"));
        if (!dtype) return false;
        OwnedRef kind(PyObject_GetAttrString(dtype.get(), "kind"));
        if (!kind) return false;
        std::string_view code;
        if (!convert_utf8(kind.get(), "kind", code)) return false;
        if (code.size() != 1 || std::string_view("biuf").find(code[0]) == std::string_view::npos) {
            PyErr_Format(PyExc_TypeError, "the scorer must return real numbers, not an array of %S",
                         dtype.get());
            return false;
        }
        OwnedRef shape(PyObject_GetAttrString(array.get(), "shape"));
        if (!shape) return false;
        if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1 ||
            PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)) != static_cast<Py_ssize_t>(scores.size())) {
            if (PyErr_Occurred()) return false;
            PyErr_Format(PyExc_ValueError,
                         "the scorer must return a 1-D array of %zu scores, one per child, not one of "
                         "shape %S",
                         scores.size(), shape.get());
            return false;
        }
        OwnedRef doubles(PyObject_CallFunctionObjArgs(contiguous_, array.get(), float64_, nullptr));
        if (!doubles) return false;
        Py_buffer view;
        if (PyObject_GetBuffer(doubles.get(), &view, PyBUF_C_CONTIGUOUS) < 0) return false;
        const bool sized = static_cast<std::size_t>(view.len) == scores.size_bytes();
        if (sized && !scores.empty()) std::memcpy(scores.data(), view.buf, scores.size_bytes());
        PyBuffer_Release(&view);
        if (!sized) {
            raise_panic("scores of an unexpected size");
            return false;
        }
        for (std::size_t i = 0; i < scores.size(); ++i) {
            if (std::isnan(scores[i])) {
                PyErr_Format(PyExc_ValueError, "the scorer returned NaN for child %zu", i);
                return false;
            }
        }
        return true;
    }

    const SearchArguments& arguments_;
    PyObject* asarray_;
    PyObject* contiguous_;
    PyObject* float64_;
    ReleaseGil& unlocked_;
    double seconds_ = 0.0;
};

// The result object: moves padded to the longest solution found.
PyObject* new_search_result(const GuidedResult& result, Metric metric, double scorer_seconds,
                            double search_seconds) {
    const std::size_t n = result.lengths.size();
    std::size_t longest = 0;
    for (const auto& path : result.paths) longest = std::max(longest, path.size());
    OwnedRef moves, lengths, expanded;
    const bool made = guarded(
        [&] {
            OutputBuffer move_rows = OutputBuffer::allocate(n, longest, Element::uint8);
            std::memset(move_rows.data(), static_cast<int>(move_count(metric)), n * longest);
            for (std::size_t i = 0; i < n; ++i) {
                if (!result.paths[i].empty()) {
                    std::memcpy(move_rows.row<std::uint8_t>(i), result.paths[i].data(),
                                result.paths[i].size());
                }
            }
            OutputBuffer length_rows = OutputBuffer::allocate(n, 1, Element::int16);
            if (n != 0) std::memcpy(length_rows.data(), result.lengths.data(), n * sizeof(std::int16_t));
            OutputBuffer expanded_rows = OutputBuffer::allocate(n, 1, Element::int64);
            if (n != 0) std::memcpy(expanded_rows.data(), result.expanded.data(), n * sizeof(std::int64_t));
            moves = OwnedRef(buffer_to_ndarray(std::move(move_rows), 2));
            if (!moves) return false;
            lengths = OwnedRef(buffer_to_ndarray(std::move(length_rows), 1));
            if (!lengths) return false;
            expanded = OwnedRef(buffer_to_ndarray(std::move(expanded_rows), 1));
            return static_cast<bool>(expanded);
        },
        false);
    if (!made) return nullptr;
    PyTypeObject* type = search_result_type();
    if (type == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<SearchResultObject*>(object);
    self->moves = moves.release();
    self->lengths = lengths.release();
    self->expanded = expanded.release();
    self->scorer_seconds = scorer_seconds;
    self->search_seconds = search_seconds;
    return object;
}

// Copies the states, runs `search(starts, targets, scorer)` with the lock
// released and builds its result.
template <class Search>
PyObject* run_search(const SearchArguments& arguments, Search search) {
    OwnedRef asarray = numpy_attribute("numpy", "asarray");
    OwnedRef contiguous = numpy_attribute("numpy", "ascontiguousarray");
    OwnedRef float64 = numpy_attribute("numpy", "float64");
    if (!asarray || !contiguous || !float64) return nullptr;
    CubeStates starts;
    CubeStates targets;
    {
        PySharedHold hold(arguments.start->borrow);
        if (!hold) return nullptr;
        CubeBatchObject* target = arguments.target == nullptr ? nullptr : as_batch(arguments.target);
        std::optional<PySharedHold> target_hold;
        if (target != nullptr) {
            target_hold.emplace(target->borrow);
            if (!*target_hold) return nullptr;
            if (!check_length("target", batch_size(target), batch_size(arguments.start), true)) {
                return nullptr;
            }
        }
        const bool copied = guarded(
            [&] {
                std::visit(
                    [&](const auto& cubes) {
                        using C = typename std::decay_t<decltype(cubes)>::value_type;
                        starts.emplace<StateVector<C>>(cubes.begin(), cubes.end());
                        if (target == nullptr) {
                            targets.emplace<StateVector<C>>(1, C{});
                        } else {
                            const auto& given = std::get<StateVector<C>>(target->storage);
                            targets.emplace<StateVector<C>>(given.begin(), given.end());
                        }
                    },
                    arguments.start->storage);
                return true;
            },
            false);
        if (!copied) return nullptr;
    }
    const Clock::time_point start = Clock::now();
    GuidedResult result(0);
    double scorer_seconds = 0.0;
    if (!lock_released(HeldWhileReleased::nothing(), [&](ReleaseGil& unlocked) {
            PythonScorer scorer(arguments, asarray.get(), contiguous.get(), float64.get(), unlocked);
            std::visit(
                [&](const auto& cubes) {
                    using C = typename std::decay_t<decltype(cubes)>::value_type;
                    const auto& goals = std::get<StateVector<C>>(targets);
                    result = search(std::span<const C>(cubes), std::span<const C>(goals), scorer);
                },
                starts);
            scorer_seconds = scorer.seconds();
        })) {
        return nullptr;
    }
    const double total = seconds_since(start);
    return new_search_result(result, arguments.metric, scorer_seconds,
                             std::max(0.0, total - scorer_seconds));
}

PyObject* beam_search_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 9> names{"start",  "scorer",   "beam_width",
                                                      "max_depth", "target", "metric",
                                                      "encoding", "dtype", "history"};
    std::array<PyObject*, 9> given;
    if (!match_some_keyword_only("beam_search", args, nargs, kwnames, names, 2, 2, given)) {
        return nullptr;
    }
    SearchArguments arguments;
    if (!convert_common(given[0], given[1], given[4], given[5], given[6], given[7], "scorer",
                        arguments)) {
        return nullptr;
    }
    std::int64_t width = 1024, depth = 40, history = 2;
    if (!convert_count(given[2], "beam_width", 1, width) || !convert_count(given[3], "max_depth", 0, depth) ||
        !convert_count(given[8], "history", 0, history)) {
        return nullptr;
    }
    if (depth > static_cast<std::int64_t>(MAX_GUIDED_LENGTH)) {
        PyErr_Format(PyExc_ValueError, "argument 'max_depth' must be at most %zu, not %lld",
                     MAX_GUIDED_LENGTH, static_cast<long long>(depth));
        return nullptr;
    }
    const BeamOptions options{static_cast<std::size_t>(width), static_cast<std::size_t>(depth),
                              static_cast<std::size_t>(history), arguments.metric};
    return run_search(arguments, [&](auto starts, auto targets, PythonScorer& scorer) {
        return beam_search(starts, targets, options, scorer);
    });
}

PyObject* weighted_astar_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static constexpr std::array<const char*, 9> names{"start",     "heuristic", "weight",
                                                      "batch_size", "max_nodes", "target",
                                                      "metric",    "encoding",  "dtype"};
    std::array<PyObject*, 9> given;
    if (!match_some_keyword_only("weighted_astar", args, nargs, kwnames, names, 2, 2, given)) {
        return nullptr;
    }
    SearchArguments arguments;
    if (!convert_common(given[0], given[1], given[5], given[6], given[7], given[8], "heuristic",
                        arguments)) {
        return nullptr;
    }
    AStarOptions options;
    options.metric = arguments.metric;
    if (given[2] != nullptr) {
        if (!convert_f64(given[2], "weight", options.weight)) return nullptr;
        if (!std::isfinite(options.weight) || options.weight < 0) {
            PyErr_Format(PyExc_ValueError, "argument 'weight' must be finite and not negative, not %R",
                         given[2]);
            return nullptr;
        }
    }
    std::int64_t batch = static_cast<std::int64_t>(options.batch_size);
    if (!convert_count(given[3], "batch_size", 1, batch) ||
        !convert_count(given[4], "max_nodes", 0, options.max_nodes)) {
        return nullptr;
    }
    options.batch_size = static_cast<std::size_t>(batch);
    return run_search(arguments, [&](auto starts, auto targets, PythonScorer& scorer) {
        return weighted_astar(starts, targets, options, scorer);
    });
}

}  // namespace

PyTypeObject* search_result_type() noexcept {
    return type_from_spec_once(search_result_type_slot, SearchResult_spec);
}

PyMethodDef beam_search_def = {
    "beam_search", TWIRLKIT_FASTCALL(&beam_search_function), METH_FASTCALL | METH_KEYWORDS,
    "beam_search(start, scorer, *, beam_width=1024, max_depth=40, target=None, metric='qtm', "
    "encoding='one_hot', dtype=None, history=2)\n--\n\n"
    "Search from every cube of `start` at once, guided by `scorer`; return a SearchResult.\n\n"
    "At each depth the children of every live beam go to one call scorer(x),\n"
    "which returns one real score per child (a 1-D array-like), lower being\n"
    "closer. Each beam keeps its beam_width lowest-scored distinct children\n"
    "that are not in the beams it kept at its last `history` depths (ties in\n"
    "child order). A child equal to the target ends that search at once;\n"
    "a search ends with nothing found at max_depth or when no child is left.\n\n"
    "`x` is, for encoding 'one_hot' or 'stickers', the array\n"
    "children.stickers(one_hot=..., dtype=dtype); for 'packed' the array\n"
    "children.to_packed(); for 'batch' the children as a CubeBatch.\n"
    "`target` is None (solved), a batch of one cube or of one per start.\n"
    "`metric` is 'qtm' (12 moves) or 'htm' (18). A scorer that raises ends the\n"
    "search with its exception; a result of the wrong shape or holding NaN\n"
    "raises ValueError, one that is not numeric TypeError."};

PyMethodDef weighted_astar_def = {
    "weighted_astar", TWIRLKIT_FASTCALL(&weighted_astar_function), METH_FASTCALL | METH_KEYWORDS,
    "weighted_astar(start, heuristic, *, weight=0.6, batch_size=1000, max_nodes=10000000, "
    "target=None, metric='qtm', encoding='one_hot', dtype=None)\n--\n\n"
    "Batch-weighted A* from every cube of `start` at once; return a SearchResult.\n\n"
    "A node's key is weight * g + h: g its path length, h the heuristic's\n"
    "value of its state. Every iteration each search pops its batch_size\n"
    "lowest-key open nodes, stops at the first that equals its target, and\n"
    "expands the others; the new children of every search go to one call\n"
    "heuristic(x). A state reached again keeps only its shorter path. With\n"
    "weight=1, batch_size=1 and an admissible heuristic the solutions are\n"
    "optimal. max_nodes bounds the nodes expanded per search.\n\n"
    "`x`, `target`, `metric` and the errors are those of beam_search()."};

}  // namespace twirlkit
