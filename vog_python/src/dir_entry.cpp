// DirEntry: one row of a listing, with read-only `name` and `entry_type`.
#include "binding.hpp"

namespace vog::python {
namespace {

struct DirEntryObject {
  PyObject_HEAD
  PyObject* name;        // owned str
  PyObject* entry_type;  // owned reference to a shared EntryType member
};

DirEntryObject* as_entry(PyObject* self) { return reinterpret_cast<DirEntryObject*>(self); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_entry(self)->name); }
PyObject* get_entry_type(PyObject* self, void*) { return Py_NewRef(as_entry(self)->entry_type); }

PyObject* dir_entry_repr(PyObject* self) {
  const char* type =
      as_entry(self)->entry_type == entry_type_member(EntryType::Directory) ? "DIRECTORY" : "STREAM";
  return PyUnicode_FromFormat("DirEntry('%U', %s)", as_entry(self)->name, type);
}

void dir_entry_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_entry(self)->name);
  Py_XDECREF(as_entry(self)->entry_type);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef g_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"entry_type", get_entry_type, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dir_entry_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(dir_entry_repr)},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.DirEntry", sizeof(DirEntryObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

}  // namespace

PyTypeObject* make_dir_entry_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));  // new reference
}

PyObject* new_dir_entry(const DirEntry& entry) {
  PyTypeObject* type = objects().dir_entry_type;
  PyObject* name = PyUnicode_DecodeUTF8(entry.name.data(), static_cast<Py_ssize_t>(entry.name.size()),
                                        "surrogateescape");  // new reference
  if (name == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);  // new reference
  if (self == nullptr) {
    Py_DECREF(name);
    return nullptr;
  }
  as_entry(self)->name = name;  // steals
  as_entry(self)->entry_type = Py_NewRef(entry_type_member(entry.entry_type));
  return self;
}

}  // namespace vog::python
