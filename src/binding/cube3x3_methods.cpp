// The Python class Cube3x3.
#include "model/cube3x3.hpp"
#include "binding/cube_object.hpp"

namespace twirlkit {

namespace {

using Object = CubeObject<Cube3x3>;

PyObject* Cube3x3_to_binary_corners(PyObject* self, PyObject*) noexcept {
    return read_view<Cube3x3>(self, [](const Cube3x3& c) { return binary_str(c.corners); });
}

PyObject* Cube3x3_to_binary_edges(PyObject* self, PyObject*) noexcept {
    return read_view<Cube3x3>(self, [](const Cube3x3& c) { return binary_str(c.edges); });
}

PyObject* Cube3x3_to_binary(PyObject* self, PyObject*) noexcept {
    return read_view<Cube3x3>(self, [](const Cube3x3& c) -> PyObject* {
        OwnedRef corners(binary_str(c.corners));
        OwnedRef edges(binary_str(c.edges));
        if (!corners || !edges) return nullptr;
        return PyTuple_Pack(2, corners.get(), edges.get());
    });
}

PyObject* Cube3x3_get_corners(PyObject* self, PyObject*) noexcept {
    return read_view<Cube3x3>(self, [](const Cube3x3& c) { return pieces_list(corner_pieces(c.corners)); });
}

PyObject* Cube3x3_get_edges(PyObject* self, PyObject*) noexcept {
    return read_view<Cube3x3>(self, [](const Cube3x3& c) { return pieces_list(edge_pieces(c.edges)); });
}

PyObject* Cube3x3_get_corners_attr(PyObject* self, void*) noexcept {
    return read_view<Cube3x3>(self, [](const Cube3x3& c) { return PyLong_FromUnsignedLongLong(c.corners); });
}

auto Cube3x3_methods = cube_methods<Cube3x3>(std::to_array<PyMethodDef>({
    {"to_binary_corners", Cube3x3_to_binary_corners, METH_NOARGS,
     "to_binary_corners($self)\n--\n\nReturn the corner state as a 64-bit binary string."},
    {"to_binary_edges", Cube3x3_to_binary_edges, METH_NOARGS,
     "to_binary_edges($self)\n--\n\nReturn the edge state as a 64-bit binary string."},
    {"to_binary", Cube3x3_to_binary, METH_NOARGS,
     "to_binary($self)\n--\n\n"
     "Return the corner and edge states as a tuple of 64-bit binary strings."},
    {"get_corners", Cube3x3_get_corners, METH_NOARGS,
     "get_corners($self)\n--\n\nReturn the corner state as an array."},
    {"get_edges", Cube3x3_get_edges, METH_NOARGS,
     "get_edges($self)\n--\n\nReturn the edge state as an array."},
    {"to_sticker_array", Cube_to_sticker_array<Cube3x3>, METH_NOARGS,
     "to_sticker_array($self)\n--\n\nReturn the cube state as an array of 54 sticker colors.\n\n"
     "The faces come in the order U, R, F, D, L, B, nine stickers each."},
    {"is_solved", Cube_is_solved<Cube3x3>, METH_NOARGS,
     "is_solved($self)\n--\n\nReturn true if the cube is solved."},
}));

PyGetSetDef Cube3x3_getset[] = {
    {"corners", Cube3x3_get_corners_attr, nullptr, "The packed corner word.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Cube3x3_slots[] = {
    {Py_tp_doc, const_cast<char*>("Cube3x3()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&Cube_new<Cube3x3>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Cube_dealloc<Cube3x3>)},
    {Py_tp_str, reinterpret_cast<void*>(&Cube_str<Cube3x3>)},
    {Py_tp_methods, Cube3x3_methods.data()},
    {Py_tp_getset, Cube3x3_getset},
    {0, nullptr},
};

// The dotted name gives the class its __module__; __name__ stays bare.
PyType_Spec Cube3x3_spec = {
    .name = "twirlkit.Cube3x3",
    .basicsize = sizeof(Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Cube3x3_slots,
};

PyTypeObject* Cube3x3_type = nullptr;

}  // namespace

template <>
PyTypeObject* cube_type<Cube3x3>() noexcept {
    return type_from_spec_once(Cube3x3_type, Cube3x3_spec);
}

}  // namespace twirlkit
