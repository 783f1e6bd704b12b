// The Python class Cube2x2.
#include "model/cube2x2.hpp"
#include "binding/cube_object.hpp"

namespace twirlkit {

namespace {

using Object = CubeObject<Cube2x2>;

PyObject* Cube2x2_to_binary(PyObject* self, PyObject*) noexcept {
    return read_view<Cube2x2>(self, [](const Cube2x2& c) { return binary_str(c.state); });
}

PyObject* Cube2x2_get_corners(PyObject* self, PyObject*) noexcept {
    return read_view<Cube2x2>(self,
                              [](const Cube2x2& c) { return pieces_list(corner_pieces(c.state)); });
}

PyObject* Cube2x2_get_state_attr(PyObject* self, void*) noexcept {
    return read_view<Cube2x2>(self,
                              [](const Cube2x2& c) { return PyLong_FromUnsignedLongLong(c.state); });
}

auto Cube2x2_methods = cube_methods<Cube2x2>(std::to_array<PyMethodDef>({
    {"to_binary", Cube2x2_to_binary, METH_NOARGS,
     "to_binary($self)\n--\n\nReturn the corner state as a 64-bit binary string."},
    {"get_corners", Cube2x2_get_corners, METH_NOARGS,
     "get_corners($self)\n--\n\nReturn the corner state as an array."},
    {"to_sticker_array", Cube_to_sticker_array<Cube2x2>, METH_NOARGS,
     "to_sticker_array($self)\n--\n\n"},
    {"is_solved", Cube_is_solved<Cube2x2>, METH_NOARGS,
     "is_solved($self)\n--\n\nReturn true if the cube is solved."},
}));

PyGetSetDef Cube2x2_getset[] = {
    {"state", Cube2x2_get_state_attr, nullptr, "The packed corner word.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Cube2x2_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Cube2x2()\n--\n\nA compact 2x2 Rubik's Cube model with fast move operations.")},
    {Py_tp_new, reinterpret_cast<void*>(&Cube_new<Cube2x2>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Cube_dealloc<Cube2x2>)},
    {Py_tp_str, reinterpret_cast<void*>(&Cube_str<Cube2x2>)},
    {Py_tp_methods, Cube2x2_methods.data()},
    {Py_tp_getset, Cube2x2_getset},
    {0, nullptr},
};

// The dotted name gives the class its __module__; __name__ stays bare.
PyType_Spec Cube2x2_spec = {
    .name = "twirlkit.Cube2x2",
    .basicsize = sizeof(Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Cube2x2_slots,
};

PyTypeObject* Cube2x2_type = nullptr;

}  // namespace

template <>
PyTypeObject* cube_type<Cube2x2>() noexcept {
    return type_from_spec_once(Cube2x2_type, Cube2x2_spec);
}

}  // namespace twirlkit
