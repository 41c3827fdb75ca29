// vog._engine: the Vog type of libvog plus what a file object needs, for the
// Python package `vog` alone.
//
// Added to the type: read_at/write_at on any buffer, without a copy and
// without the handle's position (the package keeps positions itself); resize,
// which also lengthens with zeros; stat by path without opening (with the
// stream ID, a directory's identity); the geometry.
// verify takes a line limit; salvage copies what a damaged file still holds;
// create and open take a durability level, and sync() is a commit point;
// transactions and snapshots are begun and ended by pairs of calls, the
// object keeping them open in between (EngineGuards).
// Engine errors are raised as the package's exception classes: the package
// hands in one factory, called with the error's kind number and its message.
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "binding.hpp"

namespace vog::python {
namespace {

PyObject* g_error_factory = nullptr;  // owned; set once by the package, kept for the process

// Owns a buffer export so that every return path releases it (with the lock held).
struct BufferExport {
  Py_buffer view{};
  BufferExport() = default;
  BufferExport(const BufferExport&) = delete;
  BufferExport& operator=(const BufferExport&) = delete;
  ~BufferExport() {
    if (view.obj != nullptr) PyBuffer_Release(&view);
  }
};

// Vog.read_at(handle, offset, buffer) -> int: fills the front of `buffer`.
PyObject* vog_read_at(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"handle", "offset", "buffer", nullptr};
  PyObject *py_handle, *py_offset;  // borrowed
  BufferExport out;                 // writable and contiguous; exported until we return
  std::uint64_t handle = 0, offset = 0;
  if (!parse(args, kwargs, "OOw*:Vog.read_at", kw, &py_handle, &py_offset, &out.view) ||
      !to_u64(py_handle, "handle", handle) || !to_u64(py_offset, "offset", offset))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  std::span buffer(static_cast<std::byte*>(out.view.buf), static_cast<std::size_t>(out.view.len));
  return finish(call_engine(std::move(engine),
                            [&](Vog& vog) { return vog.read_at(handle, offset, buffer); }));
}

// Vog.write_at(handle, offset, data) -> int, `data` any contiguous bytes-like object.
PyObject* vog_write_at(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"handle", "offset", "data", nullptr};
  PyObject *py_handle, *py_offset;  // borrowed
  BufferExport in;  // the export keeps a bytearray from resizing while we read it
  std::uint64_t handle = 0, offset = 0;
  if (!parse(args, kwargs, "OOy*:Vog.write_at", kw, &py_handle, &py_offset, &in.view) ||
      !to_u64(py_handle, "handle", handle) || !to_u64(py_offset, "offset", offset))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  std::span data(static_cast<const std::byte*>(in.view.buf), static_cast<std::size_t>(in.view.len));
  return finish(call_engine(std::move(engine),
                            [&](Vog& vog) { return vog.write_at(handle, offset, data); }));
}

// Vog.resize(handle, new_len) -> None.
PyObject* vog_resize(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"handle", "new_len", nullptr};
  PyObject *py_handle, *py_len;  // borrowed
  std::uint64_t handle = 0, new_len = 0;
  if (!parse(args, kwargs, "OO:Vog.resize", kw, &py_handle, &py_len) ||
      !to_u64(py_handle, "handle", handle) || !to_u64(py_len, "new_len", new_len))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(call_engine(std::move(engine), [&](Vog& vog) { return vog.resize(handle, new_len); }));
}

// Vog.stat(path) -> (is_dir, length, reserved, compressed, stream_id); the stream
// ID tells a directory met twice (a cycle in a damaged file) from another.
PyObject* vog_stat(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"path", nullptr};
  PyObject* py_path;  // borrowed
  std::string path;
  if (!parse(args, kwargs, "O:Vog.stat", kw, &py_path) || !to_path(py_path, "path", path))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  auto info = call_engine(std::move(engine), [&](Vog& vog) { return vog.stat(path); });
  if (!info) return nullptr;
  if (!*info) return raise_vog_error(info->error());
  const PathInfo& got = **info;
  return Py_BuildValue("(NKKNk)", PyBool_FromLong(got.entry_type == EntryType::Directory),
                       static_cast<unsigned long long>(got.length),
                       static_cast<unsigned long long>(got.reserved),
                       PyBool_FromLong(got.compressed),
                       static_cast<unsigned long>(got.stream_id));  // new reference
}

// Vog.geometry() -> (block_size_shift, compressed_block_size_shift). No I/O.
PyObject* vog_geometry(PyObject* self, PyObject*) {
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return Py_BuildValue("(ii)", engine->block_size_shift(), engine->compressed_block_size_shift());
}

// Vog.verify(max_lines=None) -> list[str]: None keeps the engine's own limit.
PyObject* vog_verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"max_lines", nullptr};
  PyObject* py_max = Py_None;  // borrowed
  std::uint64_t max_lines = 0;
  if (!parse(args, kwargs, "|O:Vog.verify", kw, &py_max) ||
      (py_max != Py_None && !to_u64(py_max, "max_lines", max_lines)))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  auto report = call_engine(std::move(engine), [&](Vog& vog) {
    return py_max == Py_None ? vog.verify() : vog.verify(static_cast<std::size_t>(max_lines));
  });
  if (!report) return nullptr;
  if (!*report) return raise_vog_error(report->error());
  return new_line_list(**report);
}

// Vog.sync() -> None: a commit point; what was written so far survives a crash.
PyObject* vog_sync(PyObject* self, PyObject*) {
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(call_engine(std::move(engine), [](Vog& vog) { return vog.sync(); }));
}

// Runs `make` (transaction() or snapshot()) on the engine and hands the
// guard it returns to `keep`, under the object's guard mutex.
template <class Make, class Keep>
PyObject* begin_guard(PyObject* self, Make make, Keep keep) {
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  auto begun = call_engine(std::move(engine), make);
  if (!begun) return nullptr;
  if (!*begun) return raise_vog_error(begun->error());
  EngineGuards& guards = guards_of(self);
  std::lock_guard lock(guards.mutex);
  keep(guards, std::move(**begun));
  Py_RETURN_NONE;
}

// Vog.begin_transaction() -> None: begins a transaction, or joins the one open.
PyObject* vog_begin_transaction(PyObject* self, PyObject*) {
  return begin_guard(self, [](Vog& vog) { return vog.transaction(); },
                     [](EngineGuards& guards, Transaction begun) {
                       guards.transactions.push_back(std::move(begun));
                     });
}

// Vog.end_transaction(commit) -> None: ends the innermost transaction begun
// here. A commit that fails rolls back, and raises the commit's error.
PyObject* vog_end_transaction(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"commit", nullptr};
  int commit = 0;
  if (!parse(args, kwargs, "p:Vog.end_transaction", kw, &commit)) return nullptr;
  std::optional<Transaction> ending;
  {
    EngineGuards& guards = guards_of(self);
    std::lock_guard lock(guards.mutex);
    if (!guards.transactions.empty()) {
      ending.emplace(std::move(guards.transactions.back()));
      guards.transactions.pop_back();
    }
  }
  if (!ending) return raise_vog_error(VogError::io("no transaction is open"));
  return finish(run_unlocked([&]() -> Result<void> {
    if (!commit) return ending->roll_back();
    auto committed = ending->commit();
    if (!committed) (void)ending->roll_back();  // a failure here leaves nothing to commit
    return committed;
  }));
}

// Vog.begin_snapshot() -> None: reads on this object see one commit until
// end_snapshot() on the same thread.
PyObject* vog_begin_snapshot(PyObject* self, PyObject*) {
  return begin_guard(self, [](Vog& vog) { return vog.snapshot(); },
                     [](EngineGuards& guards, Snapshot begun) {
                       guards.snapshots[std::this_thread::get_id()].push_back(std::move(begun));
                     });
}

// Vog.end_snapshot() -> None: ends this thread's innermost snapshot; also
// after close(), which leaves snapshots to their threads.
PyObject* vog_end_snapshot(PyObject* self, PyObject*) {
  std::optional<Snapshot> ending;
  {
    EngineGuards& guards = guards_of(self);
    std::lock_guard lock(guards.mutex);
    auto mine = guards.snapshots.find(std::this_thread::get_id());
    if (mine != guards.snapshots.end()) {
      ending.emplace(std::move(mine->second.back()));
      mine->second.pop_back();
      if (mine->second.empty()) guards.snapshots.erase(mine);
    }
  }
  if (!ending) return raise_vog_error(VogError::io("no snapshot is open on this thread"));
  auto ended = run_unlocked([&] {
    ending.reset();  // the last engine reference may go here, off the lock
    return true;
  });
  if (!ended) return nullptr;
  Py_RETURN_NONE;
}

PyObject* vog_create_durable(PyObject*, PyObject* args, PyObject* kwargs) {
  return create_vog(args, kwargs, /*durable=*/true);
}

PyObject* vog_open_durable(PyObject*, PyObject* args, PyObject* kwargs) {
  return open_vog(args, kwargs, /*durable=*/true);
}

const PyMethodDef g_extra_methods[] = {
    {"create", VOG_METHOD(vog_create_durable), kArgs | METH_STATIC,
     "create(path, block_size_shift=12, compressed_block_size_shift=None, password=None, *, "
     "durability=1)\n--\n\n"},
    {"open", VOG_METHOD(vog_open_durable), kArgs | METH_STATIC,
     "open(path, mode, password=None, *, durability=1)\n--\n\n"},
    {"sync", VOG_METHOD(vog_sync), METH_NOARGS, "sync($self)\n--\n\n"},
    {"verify", VOG_METHOD(vog_verify), kArgs, "verify($self, max_lines=None)\n--\n\n"},
    {"read_at", VOG_METHOD(vog_read_at), kArgs, "read_at($self, handle, offset, buffer)\n--\n\n"},
    {"write_at", VOG_METHOD(vog_write_at), kArgs, "write_at($self, handle, offset, data)\n--\n\n"},
    {"resize", VOG_METHOD(vog_resize), kArgs, "resize($self, handle, new_len)\n--\n\n"},
    {"stat", VOG_METHOD(vog_stat), kArgs, "stat($self, path)\n--\n\n"},
    {"geometry", VOG_METHOD(vog_geometry), METH_NOARGS, "geometry($self)\n--\n\n"},
    {"begin_transaction", VOG_METHOD(vog_begin_transaction), METH_NOARGS,
     "begin_transaction($self)\n--\n\n"},
    {"end_transaction", VOG_METHOD(vog_end_transaction), kArgs,
     "end_transaction($self, commit)\n--\n\n"},
    {"begin_snapshot", VOG_METHOD(vog_begin_snapshot), METH_NOARGS,
     "begin_snapshot($self)\n--\n\n"},
    {"end_snapshot", VOG_METHOD(vog_end_snapshot), METH_NOARGS, "end_snapshot($self)\n--\n\n"},
};

// set_error_factory(factory): factory(kind: int, message: str) returns the
// exception instance to raise for an engine error.
PyObject* set_error_factory(PyObject*, PyObject* factory) {
  if (!PyCallable_Check(factory)) {
    PyErr_SetString(PyExc_TypeError, "the error factory must be callable");
    return nullptr;
  }
  Py_XSETREF(g_error_factory, Py_NewRef(factory));
  Py_RETURN_NONE;
}

// salvage(path, new_path, password=None) -> the losses, each a tuple
// (path, kind, saved_bytes, reason) with kind the SalvageLossKind's number.
PyObject* salvage_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"path", "new_path", "password", nullptr};
  PyObject *py_path, *py_new_path, *py_password = Py_None;  // borrowed
  std::string path, new_path;
  std::optional<std::vector<std::byte>> password;
  if (!parse(args, kwargs, "OO|O:salvage", kw, &py_path, &py_new_path, &py_password) ||
      !to_path(py_path, "path", path) || !to_path(py_new_path, "new_path", new_path) ||
      !to_password(py_password, password))
    return nullptr;
  auto report = run_unlocked([&] { return salvage(path, new_path, password_view(password)); });
  if (!report) return nullptr;
  if (!*report) return raise_vog_error(report->error());
  const SalvageReport& got = **report;
  PyObject* losses = PyList_New(static_cast<Py_ssize_t>(got.lost.size()));  // new reference
  if (losses == nullptr) return nullptr;
  for (std::size_t i = 0; i < got.lost.size(); ++i) {
    const SalvageLoss& loss = got.lost[i];
    // Paths and reasons may quote damaged stored bytes: keep them rather than fail.
    PyObject* item = Py_BuildValue(
        "(NiKN)",
        PyUnicode_DecodeUTF8(loss.path.data(), static_cast<Py_ssize_t>(loss.path.size()),
                             "surrogateescape"),
        static_cast<int>(loss.kind), static_cast<unsigned long long>(loss.saved_bytes),
        PyUnicode_DecodeUTF8(loss.reason.data(), static_cast<Py_ssize_t>(loss.reason.size()),
                             "surrogateescape"));  // new reference; steals both strings
    if (item == nullptr) {
      Py_DECREF(losses);
      return nullptr;
    }
    PyList_SET_ITEM(losses, static_cast<Py_ssize_t>(i), item);  // steals
  }
  return losses;
}

PyMethodDef g_functions[] = {
    {"salvage", VOG_METHOD(salvage_file), kArgs, "salvage(path, new_path, password=None)\n--\n\n"},
    {"set_error_factory", set_error_factory, METH_O, "set_error_factory(factory)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!build_module_objects("vog._engine", g_extra_methods)) return -1;
  return add_module_objects(module, /*with_dir_entry=*/false) ? 0 : -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "vog._engine", "", 0, g_functions, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* raise_vog_error(const VogError& error) {
  const std::string message = error.to_string();
  if (g_error_factory == nullptr) {
    PyErr_SetString(objects().vog_error, message.c_str());
    return nullptr;
  }
  // Messages may quote damaged stored bytes: keep them rather than fail.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "surrogateescape");  // new reference
  if (text == nullptr) return nullptr;
  PyObject* exception = PyObject_CallFunction(g_error_factory, "iN", static_cast<int>(error.kind()),
                                              text);  // new reference; steals text
  if (exception == nullptr) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
  Py_DECREF(exception);
  return nullptr;
}

}  // namespace vog::python

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&vog::python::g_module); }
