// Shared pieces of the extension modules built from this code: libvog, and the
// private vog._engine of the Python package, whose Vog type has the same
// methods and a few more. Each module is its own shared object with its own
// copy of everything here.
//
// A module keeps no per-module state: its types, the enumeration members and
// the exception classes are built once per process, by the first execution of
// the module, and live until the process ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

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
// Builds every type and member; returns false with an exception set. The
// exception classes are named "<module_name>.VogError" and ".InternalFault";
// the Vog type gets `extra_methods` after its own.
bool build_module_objects(const char* module_name, std::span<const PyMethodDef> extra_methods);
// Adds Vog, OpenMode, EntryType, DirEntry (when `with_dir_entry`) and VogError
// to `module`, in that order; returns false with an exception set.
bool add_module_objects(PyObject* module, bool with_dir_entry);

// Type builders, one per file; each returns a new reference or nullptr.
PyTypeObject* make_vog_type(std::span<const PyMethodDef> extra_methods);
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

// Raises the module's exception for an engine error; always returns nullptr.
// Each module defines its own.
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

// The engine of an open Vog object (a new reference to it), or empty with
// "Vog file has been closed" raised.
std::shared_ptr<Vog> engine_of(PyObject* self);

// Transactions and snapshots that vog._engine keeps open on a Vog object for
// the package, until it ends them or the object is closed or goes. The mutex
// guards the containers only: an entry is taken out before it is ended.
struct EngineGuards {
  std::mutex mutex;
  std::vector<Transaction> transactions;  // the innermost last
  // A snapshot ends on the thread that took it, the innermost first.
  std::map<std::thread::id, std::vector<Snapshot>> snapshots;
};
EngineGuards& guards_of(PyObject* self);

// Argument conversion: each returns false with TypeError/OverflowError set.
bool to_u64(PyObject* value, const char* name, std::uint64_t& out);
bool to_path(PyObject* value, const char* name, std::string& out);
// None means no password; bytes (possibly empty) are a password.
bool to_password(PyObject* value, std::optional<std::vector<std::byte>>& out);
std::optional<std::span<const std::byte>> password_view(const std::optional<std::vector<std::byte>>& password);
// Vog.create and Vog.open; with `durable` they take a keyword-only level,
// durability (0 off, 1 process, 2 full). New reference, or nullptr with an exception set.
PyObject* create_vog(PyObject* args, PyObject* kwargs, bool durable);
PyObject* open_vog(PyObject* args, PyObject* kwargs, bool durable);
// A list of str, one per line; bytes that are not UTF-8 are kept as surrogates.
PyObject* new_line_list(const std::vector<std::string>& lines);

bool parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
           auto*... outputs) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     outputs...) != 0;
}

// The Python form of an engine result: None, bool or int; an engine error is raised.
template <class T>
PyObject* finish(std::optional<Result<T>>&& outcome) {
  if (!outcome) return nullptr;  // an internal fault is already raised
  if (!*outcome) return raise_vog_error(outcome->error());
  if constexpr (std::is_void_v<T>)
    Py_RETURN_NONE;
  else if constexpr (std::is_same_v<T, bool>)
    return PyBool_FromLong(**outcome);
  else
    return PyLong_FromUnsignedLongLong(**outcome);
}

// Runs `op(engine)` off the interpreter lock and drops the call's engine
// reference before taking the lock back.
template <class Op>
auto call_engine(std::shared_ptr<Vog> engine, Op&& op) {
  return run_unlocked([&] {
    auto result = op(*engine);
    engine.reset();
    return result;
  });
}

#define VOG_METHOD(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))
constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;
constexpr int kFastArgs = METH_FASTCALL | METH_KEYWORDS;

}  // namespace vog::python
