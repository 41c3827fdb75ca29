// libvog: module definition, multi-phase initialisation and its error mapping.
#include "binding.hpp"

namespace vog::python {
namespace {

int exec_module(PyObject* module) {
  if (!build_module_objects("libvog", {})) return -1;
  return add_module_objects(module, /*with_dir_entry=*/true) ? 0 : -1;
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

// Every kind becomes the one VogError; the kind shows only as the message's prefix.
PyObject* raise_vog_error(const VogError& error) {
  PyErr_SetString(objects().vog_error, error.to_string().c_str());
  return nullptr;
}

}  // namespace vog::python

PyMODINIT_FUNC PyInit_libvog() { return PyModuleDef_Init(&vog::python::g_module); }
