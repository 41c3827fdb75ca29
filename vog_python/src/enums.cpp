// OpenMode and EntryType: two-member enumerations with shared member objects.
//
// Members compare equal to each other by value and to integers; only == and !=
// are defined, and there is no hash, so members cannot be dictionary keys.
#include <string>

#include "binding.hpp"

namespace vog::python {
namespace {

struct EnumObject {
  PyObject_HEAD
  std::uint8_t value;
};

std::uint8_t value_of(PyObject* member) { return reinterpret_cast<EnumObject*>(member)->value; }

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

PyObject* enum_repr(PyObject* self) {
  const ModuleObjects& o = objects();
  const char* name;
  if (Py_TYPE(self) == o.open_mode_type)
    name = value_of(self) == 0 ? "OpenMode.READ" : "OpenMode.WRITE";
  else
    name = value_of(self) == 0 ? "EntryType.STREAM" : "EntryType.DIRECTORY";
  return PyUnicode_FromString(name);
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  const ModuleObjects& o = objects();
  if (Py_TYPE(other) == Py_TYPE(self)) {
    equal = value_of(self) == value_of(other);
  } else if (Py_TYPE(other) == o.open_mode_type || Py_TYPE(other) == o.entry_type_type) {
    equal = value_of(self) == value_of(other);  // the other enumeration converts by int()
  } else if (PyIndex_Check(other)) {
    PyObject* mine = PyLong_FromLong(value_of(self));  // new reference
    if (mine == nullptr) return nullptr;
    int cmp = PyObject_RichCompareBool(mine, other, Py_EQ);
    Py_DECREF(mine);
    if (cmp < 0) return nullptr;
    equal = cmp == 1;
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return PyBool_FromLong((op == Py_EQ) == equal);
}

void enum_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot g_enum_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(enum_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {0, nullptr},
};

// Seals a type once its class attributes are set.
bool make_immutable(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyType_Freeze(type) == 0;
#else
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  return true;
#endif
}

}  // namespace

PyTypeObject* make_enum_type(const char* qualified_name, const std::array<const char*, 2>& member_names,
                             PyObject* (&members)[2]) {
  // Named "builtins.<name>": the classes belong to no module of their own, and
  // Python shows them by their bare names.
  PyType_Spec type_spec = {qualified_name, sizeof(EnumObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_enum_slots};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));  // new reference
  if (type == nullptr) return nullptr;
  for (std::uint8_t value = 0; value < 2; ++value) {
    PyObject* member = type->tp_alloc(type, 0);  // new reference, kept for the process
    if (member == nullptr) return nullptr;
    reinterpret_cast<EnumObject*>(member)->value = value;
    members[value] = member;
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), member_names[value], member) < 0)
      return nullptr;
  }
  if (!make_immutable(type)) return nullptr;
  return type;
}

PyObject* open_mode_member(OpenMode mode) noexcept {
  return objects().open_mode_members[mode == OpenMode::Write ? 1 : 0];
}

PyObject* entry_type_member(EntryType type) noexcept {
  return objects().entry_type_members[type == EntryType::Directory ? 1 : 0];
}

OpenMode open_mode_of(PyObject* member) noexcept {
  return value_of(member) == 1 ? OpenMode::Write : OpenMode::Read;
}

}  // namespace vog::python
