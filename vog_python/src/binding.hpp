// Shared pieces of the libvog extension module.
//
// The module keeps no per-module state: its types, the enumeration members and
// the exception classes are built once per process, by the first execution of
// the module, and live until the process ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "vog.hpp"

namespace vog::python {

struct ModuleObjects {
  PyTypeObject* vog_type = nullptr;
  PyTypeObject* open_mode_type = nullptr;
  PyTypeObject* entry_type_type = nullptr;
  PyTypeObject* dir_entry_type = nullptr;
  PyObject* vog_error = nullptr;       // libvog.VogError, derives from Exception
  PyObject* internal_fault = nullptr;  // libvog.InternalFault, derives from BaseException
  PyObject* open_mode_members[2] = {};   // READ, WRITE
  PyObject* entry_type_members[2] = {};  // STREAM, DIRECTORY
};

// The process-wide objects; valid once build_module_objects() succeeded.
ModuleObjects& objects() noexcept;
// Builds every type and member; returns false with an exception set.
bool build_module_objects();

// Type builders, one per file; each returns a new reference or nullptr.
PyTypeObject* make_vog_type();
// An enumeration of two members with values 0 and 1, stored into `members`
// (new references, kept for the process) and set as class attributes.
PyTypeObject* make_enum_type(const char* qualified_name, const std::array<const char*, 2>& member_names,
                             PyObject* (&members)[2]);
PyTypeObject* make_dir_entry_type();

// Borrowed references to the shared enumeration members.
PyObject* open_mode_member(OpenMode mode) noexcept;
PyObject* entry_type_member(EntryType type) noexcept;
// Reads an OpenMode member; REQUIRES: `member` is one.
OpenMode open_mode_of(PyObject* member) noexcept;
// A new DirEntry (new reference), or nullptr with an exception set.
PyObject* new_dir_entry(const DirEntry& entry);

// Raise VogError with the rendered error; always returns nullptr.
PyObject* raise_vog_error(const VogError& error);
// Raise the Python form of a C++ exception that escaped the engine; returns nullptr.
PyObject* raise_internal_fault(std::exception_ptr fault);

// Runs `work` with the interpreter lock released. Returns its result, or
// nothing with a Python exception set when a C++ exception escaped it.
template <class Work>
auto run_unlocked(Work&& work) -> std::optional<std::invoke_result_t<Work>> {
  std::optional<std::invoke_result_t<Work>> result;
  std::exception_ptr fault;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(work());
  } catch (...) {
    fault = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (fault) raise_internal_fault(fault);
  return result;
}

}  // namespace vog::python
