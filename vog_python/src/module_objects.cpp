// The process-wide objects shared by the Vog type and its helpers.
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "binding.hpp"

namespace vog::python {
namespace {

ModuleObjects g_objects;  // written only by the first module execution

}  // namespace

ModuleObjects& objects() noexcept { return g_objects; }

bool build_module_objects(const char* module_name, std::span<const PyMethodDef> extra_methods) {
  ModuleObjects& o = g_objects;
  if (o.vog_error != nullptr) return true;  // built by an earlier import
  // Each step's result is kept only once all of them succeeded, so that a
  // failed import can simply be retried.
  ModuleObjects fresh;
  fresh.vog_type = make_vog_type(extra_methods);
  if (fresh.vog_type == nullptr) return false;
  fresh.open_mode_type = make_enum_type("builtins.OpenMode", {"READ", "WRITE"}, fresh.open_mode_members);
  if (fresh.open_mode_type == nullptr) return false;
  fresh.entry_type_type =
      make_enum_type("builtins.EntryType", {"STREAM", "DIRECTORY"}, fresh.entry_type_members);
  if (fresh.entry_type_type == nullptr) return false;
  fresh.dir_entry_type = make_dir_entry_type();
  if (fresh.dir_entry_type == nullptr) return false;
  const std::string prefix(module_name);
  fresh.internal_fault =
      PyErr_NewException((prefix + ".InternalFault").c_str(), PyExc_BaseException, nullptr);
  if (fresh.internal_fault == nullptr) return false;
  fresh.vog_error = PyErr_NewException((prefix + ".VogError").c_str(), PyExc_Exception, nullptr);
  if (fresh.vog_error == nullptr) return false;
  o = fresh;
  return true;
}

bool add_module_objects(PyObject* module, bool with_dir_entry) {
  const ModuleObjects& o = g_objects;
  const std::pair<const char*, PyObject*> named[] = {
      {"Vog", reinterpret_cast<PyObject*>(o.vog_type)},
      {"OpenMode", reinterpret_cast<PyObject*>(o.open_mode_type)},
      {"EntryType", reinterpret_cast<PyObject*>(o.entry_type_type)},
      {"DirEntry", with_dir_entry ? reinterpret_cast<PyObject*>(o.dir_entry_type) : nullptr},
      {"VogError", o.vog_error},
  };
  for (const auto& [name, object] : named)
    if (object != nullptr && PyModule_AddObjectRef(module, name, object) < 0) return false;
  return true;
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
