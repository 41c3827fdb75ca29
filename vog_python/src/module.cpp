// libvog: module definition, multi-phase initialisation and the process-wide objects.
#include <new>
#include <stdexcept>

#include "binding.hpp"

namespace vog::python {
namespace {

ModuleObjects g_objects;  // written only by the first module execution

int exec_module(PyObject* module) {
  if (!build_module_objects()) return -1;
  const ModuleObjects& o = g_objects;
  // Registered in this order: Vog, OpenMode, EntryType, DirEntry, VogError.
  if (PyModule_AddObjectRef(module, "Vog", reinterpret_cast<PyObject*>(o.vog_type)) < 0 ||
      PyModule_AddObjectRef(module, "OpenMode", reinterpret_cast<PyObject*>(o.open_mode_type)) < 0 ||
      PyModule_AddObjectRef(module, "EntryType", reinterpret_cast<PyObject*>(o.entry_type_type)) <
          0 ||
      PyModule_AddObjectRef(module, "DirEntry", reinterpret_cast<PyObject*>(o.dir_entry_type)) <
          0 ||
      PyModule_AddObjectRef(module, "VogError", o.vog_error) < 0)
    return -1;
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The types are shared by the whole process, so they cannot serve interpreters
    // with their own object allocators.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Engine calls run without the interpreter lock already; nothing here needs it.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "libvog",  // m_name
    "",        // m_doc
    0,         // m_size: no per-module state
    nullptr,   // m_methods
    g_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

ModuleObjects& objects() noexcept { return g_objects; }

bool build_module_objects() {
  ModuleObjects& o = g_objects;
  if (o.vog_error != nullptr) return true;  // built by an earlier import
  // Each step's result is kept only once all of them succeeded, so that a
  // failed import can simply be retried.
  ModuleObjects fresh;
  fresh.vog_type = make_vog_type();
  if (fresh.vog_type == nullptr) return false;
  fresh.open_mode_type = make_enum_type("builtins.OpenMode", {"READ", "WRITE"}, fresh.open_mode_members);
  if (fresh.open_mode_type == nullptr) return false;
  fresh.entry_type_type =
      make_enum_type("builtins.EntryType", {"STREAM", "DIRECTORY"}, fresh.entry_type_members);
  if (fresh.entry_type_type == nullptr) return false;
  fresh.dir_entry_type = make_dir_entry_type();
  if (fresh.dir_entry_type == nullptr) return false;
  fresh.internal_fault = PyErr_NewException("libvog.InternalFault", PyExc_BaseException, nullptr);
  if (fresh.internal_fault == nullptr) return false;
  fresh.vog_error = PyErr_NewException("libvog.VogError", PyExc_Exception, nullptr);
  if (fresh.vog_error == nullptr) return false;
  o = fresh;
  return true;
}

PyObject* raise_vog_error(const VogError& error) {
  PyErr_SetString(g_objects.vog_error, error.to_string().c_str());
  return nullptr;
}

PyObject* raise_internal_fault(std::exception_ptr fault) {
  try {
    std::rethrow_exception(std::move(fault));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_objects.internal_fault, e.what());
  } catch (...) {
    PyErr_SetString(g_objects.internal_fault, "unknown internal fault");
  }
  return nullptr;
}

}  // namespace vog::python

PyMODINIT_FUNC PyInit_libvog() { return PyModuleDef_Init(&vog::python::g_module); }
