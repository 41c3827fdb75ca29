// The Vog class: one open Vog file, shared with every call running on it.
//
// The object's mutex guards only its engine reference: a call takes the mutex,
// copies the shared_ptr and drops the mutex, so close() never waits for running
// calls. Every engine call runs with the interpreter lock released, on
// arguments copied out of Python objects beforehand (the bytes of `write` are
// read in place: the object is immutable and kept alive by the call's args).
#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "fork_guard.hpp"

namespace vog::python {
namespace {

struct EngineSlot {
  std::mutex mutex;
  std::shared_ptr<Vog> engine;  // guarded by mutex; empty once closed
  // Each guard keeps the engine alive: ended before it when the object goes.
  EngineGuards guards;
};

struct VogObject {
  PyObject_HEAD
  EngineSlot* slot;  // owned
};

EngineSlot& slot_of(PyObject* self) { return *reinterpret_cast<VogObject*>(self)->slot; }

}  // namespace

EngineGuards& guards_of(PyObject* self) { return slot_of(self).guards; }

std::shared_ptr<Vog> engine_of(PyObject* self) {
  EngineSlot& slot = slot_of(self);
  std::shared_ptr<Vog> engine;
  {
    std::lock_guard lock(slot.mutex);
    engine = slot.engine;
  }
  if (!engine) {
    PyErr_SetString(objects().vog_error, "Vog file has been closed");
  } else if (engine->is_forked_copy()) {
    raise_vog_error(forked_copy_error());
    engine.reset();
  }
  return engine;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t& out) {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  out = PyLong_AsUnsignedLongLong(value);
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' must be an integer from 0 to 2**64 - 1", name);
    return false;
  }
  return true;
}

bool to_path(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);  // fails on lone surrogates
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool to_password(PyObject* value, std::optional<std::vector<std::byte>>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'password' must be bytes or None, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const auto* data = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(value));
  out.emplace(data, data + PyBytes_GET_SIZE(value));
  return true;
}

std::optional<std::span<const std::byte>> password_view(const std::optional<std::vector<std::byte>>& password) {
  if (!password) return std::nullopt;
  return std::span<const std::byte>(*password);
}

PyObject* new_line_list(const std::vector<std::string>& lines) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(lines.size()));  // new reference
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // Lines may quote damaged stored bytes: keep them rather than fail.
    PyObject* line = PyUnicode_DecodeUTF8(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()),
                                          "surrogateescape");  // new reference
    if (line == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), line);  // steals
  }
  return list;
}

namespace {

// A path for the operating system: as to_path, and a NUL byte is a ValueError,
// as the built-in open() has it, since the system would read a shorter path.
bool to_os_path(PyObject* value, const char* name, std::string& out) {
  if (!to_path(value, name, out)) return false;
  if (out.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

bool to_u8(PyObject* value, const char* name, std::uint8_t& out) {
  std::uint64_t wide = 0;
  if (!to_u64(value, name, wide)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      wide = 256;
    } else {
      return false;
    }
  }
  if (wide > 255) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' must be an integer from 0 to 255", name);
    return false;
  }
  out = static_cast<std::uint8_t>(wide);
  return true;
}

// A new Vog object owning `engine`, or nullptr with an exception set.
PyObject* wrap(std::shared_ptr<Vog> engine) {
  PyTypeObject* type = objects().vog_type;
  PyObject* self = type->tp_alloc(type, 0);  // new reference
  if (self == nullptr) return nullptr;
  auto* slot = new (std::nothrow) EngineSlot;
  if (slot == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  slot->engine = std::move(engine);
  reinterpret_cast<VogObject*>(self)->slot = slot;
  return self;
}

void vog_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // The last engine reference may go here: its teardown runs with the lock held.
  delete reinterpret_cast<VogObject*>(self)->slot;
  type->tp_free(self);
  Py_DECREF(type);
}

bool to_flag(PyObject* value, const char* name, bool& out) {
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  out = value == Py_True;
  return true;
}

bool to_mode(PyObject* value, OpenMode& out) {
  if (Py_TYPE(value) != objects().open_mode_type) {
    PyErr_Format(PyExc_TypeError, "argument 'mode' must be OpenMode, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  out = open_mode_of(value);
  return true;
}

// ---- static methods

// A durability level from Python: 0 off, 1 process, 2 full.
bool to_durability(PyObject* value, Durability& out) {
  std::uint8_t level = 0;
  if (!to_u8(value, "durability", level)) return false;
  if (level > static_cast<std::uint8_t>(Durability::Full)) {
    PyErr_SetString(PyExc_ValueError, "durability must be 0 (off), 1 (process) or 2 (full)");
    return false;
  }
  out = static_cast<Durability>(level);
  return true;
}

// A timeout in seconds, a non-negative number.
bool to_timeout(PyObject* value, std::chrono::milliseconds& out) {
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (!(seconds >= 0.0 && seconds <= 1e9)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds from 0 on");
    return false;
  }
  out = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0));
  return true;
}

}  // namespace

// Vog.create and Vog.open. With `durable` they also take a keyword-only level
// and timeout (the package's private module offers them); libvog keeps its
// fixed signatures and the engine's defaults, but its open never waits for
// another writer.
PyObject* create_vog(PyObject* args, PyObject* kwargs, bool durable) {
  // Python counts the keywords against the format: a list for each signature.
  static const char* const kw[] = {"path",     "block_size_shift", "compressed_block_size_shift",
                                   "password", "durability",       "timeout",
                                   nullptr};
  static const char* const kw_fixed[] = {"path", "block_size_shift",
                                         "compressed_block_size_shift", "password", nullptr};
  PyObject *py_path, *py_shift = nullptr, *py_cshift = Py_None, *py_password = Py_None,
                     *py_durability = nullptr, *py_timeout = nullptr;
  if (!parse(args, kwargs, durable ? "O|OOO$OO:Vog.create" : "O|OOO:Vog.create",
             durable ? kw : kw_fixed, &py_path, &py_shift, &py_cshift, &py_password,
             &py_durability, &py_timeout))
    return nullptr;
  std::string path;
  CreateOptions options;
  if (py_timeout != nullptr && !to_timeout(py_timeout, options.timeout)) return nullptr;
  std::optional<std::vector<std::byte>> password;
  if (!to_os_path(py_path, "path", path) ||
      (py_shift != nullptr && !to_u8(py_shift, "block_size_shift", options.block_size_shift)) ||
      (py_cshift != Py_None &&
       !to_u8(py_cshift, "compressed_block_size_shift", options.compressed_block_size_shift)) ||
      !to_password(py_password, password) ||
      (py_durability != nullptr && !to_durability(py_durability, options.durability)))
    return nullptr;
  options.password = password_view(password);

  auto created = run_unlocked([&] { return Vog::create(path, options); });
  if (!created) return nullptr;
  if (!*created) return raise_vog_error(created->error());
  return wrap(std::move(**created));
}

PyObject* open_vog(PyObject* args, PyObject* kwargs, bool durable) {
  static const char* const kw[] = {"path", "mode", "password", "durability", "timeout", nullptr};
  static const char* const kw_fixed[] = {"path", "mode", "password", nullptr};
  PyObject *py_path, *py_mode, *py_password = Py_None, *py_durability = nullptr,
                     *py_timeout = nullptr;
  if (!parse(args, kwargs, durable ? "OO|O$OO:Vog.open" : "OO|O:Vog.open", durable ? kw : kw_fixed,
             &py_path, &py_mode, &py_password, &py_durability, &py_timeout))
    return nullptr;
  std::string path;
  OpenMode mode;
  std::optional<std::vector<std::byte>> password;
  OpenOptions options;
  // libvog's open never waits for another writer; commits and reads wait as
  // the engine's default lets them.
  if (!durable) options.open_timeout = std::chrono::milliseconds{0};
  if (py_timeout != nullptr && !to_timeout(py_timeout, options.timeout)) return nullptr;
  if (!to_os_path(py_path, "path", path) || !to_mode(py_mode, mode) ||
      !to_password(py_password, password) ||
      (py_durability != nullptr && !to_durability(py_durability, options.durability)))
    return nullptr;
  options.password = password_view(password);

  auto opened = run_unlocked([&] { return Vog::open(path, mode, options); });
  if (!opened) return nullptr;
  if (!*opened) return raise_vog_error(opened->error());
  return wrap(std::move(**opened));
}

namespace {

PyObject* vog_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return create_vog(args, kwargs, /*durable=*/false);
}

PyObject* vog_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return open_vog(args, kwargs, /*durable=*/false);
}

// ---- instance methods

PyObject* vog_close(PyObject* self, PyObject*) {
  std::shared_ptr<Vog> engine;
  std::vector<Transaction> transactions;
  {
    EngineSlot& slot = slot_of(self);
    std::lock_guard lock(slot.mutex);
    engine = std::move(slot.engine);
    std::lock_guard guards(slot.guards.mutex);
    transactions.swap(slot.guards.transactions);
  }
  if (!engine) Py_RETURN_NONE;
  // Running calls hold references of their own: only the sole owner flushes;
  // otherwise the last of those calls tears the engine down. A copy that a
  // fork made is closed without a word: the file is the parent's. A
  // transaction still open is rolled back first, the innermost first;
  // snapshots end on their own threads.
  auto flushed = run_unlocked([&]() -> Result<void> {
    while (!transactions.empty()) transactions.pop_back();
    Result<void> result;
    if (engine.use_count() == 1 && !engine->is_forked_copy()) result = engine->flush_open_streams();
    engine.reset();
    return result;
  });
  return finish(std::move(flushed));
}

PyObject* vog_is_encrypted(PyObject* self, PyObject*) {
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return PyBool_FromLong(engine->is_encrypted());
}

// Methods of one path argument: mkdir, rmdir, delete_stream.
template <Result<void> (Vog::*kOperation)(std::string_view)>
PyObject* path_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const kw[] = {"path", nullptr};
  PyObject* py_path;
  std::string path;
  if (!parse(args, kwargs, format, kw, &py_path) || !to_path(py_path, "path", path)) return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(call_engine(std::move(engine), [&](Vog& vog) { return (vog.*kOperation)(path); }));
}

// Methods of two path arguments: rename_dir, rename_stream.
template <Result<void> (Vog::*kOperation)(std::string_view, std::string_view)>
PyObject* rename_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const kw[] = {"old_path", "new_path", nullptr};
  PyObject *py_old, *py_new;
  std::string old_path, new_path;
  if (!parse(args, kwargs, format, kw, &py_old, &py_new) ||
      !to_path(py_old, "old_path", old_path) || !to_path(py_new, "new_path", new_path))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(call_engine(std::move(engine),
                            [&](Vog& vog) { return (vog.*kOperation)(old_path, new_path); }));
}

// Arguments of the methods called once per small transfer (read, seek, tell,
// ...), which take the vector-call convention: the plain positional call skips
// building and parsing a tuple; any other shape (keywords, a wrong count) is
// parsed as before, with the same messages.
template <class... Outputs>
bool parse_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                const char* const* keywords, Outputs*... outputs) {
  constexpr auto kCount = static_cast<Py_ssize_t>(sizeof...(Outputs));
  if (kwnames == nullptr && nargs == kCount) {
    Py_ssize_t i = 0;
    ((*outputs = args[i++]), ...);
    return true;
  }
  // The outputs are borrowed from `args`, which outlive the tuple and dict.
  PyObject* tuple = PyTuple_New(nargs);  // new reference
  if (tuple == nullptr) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
  PyObject* dict = nullptr;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    dict = PyDict_New();  // new reference
    for (Py_ssize_t i = 0; dict != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
        Py_CLEAR(dict);
    }
    if (dict == nullptr) {
      Py_DECREF(tuple);
      return false;
    }
  }
  const bool parsed = parse(tuple, dict, format, keywords, outputs...);
  Py_XDECREF(dict);
  Py_DECREF(tuple);
  return parsed;
}

// Methods of one handle argument: close_stream, tell, stream_length, ...
template <auto kOperation>
PyObject* handle_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const char* format) {
  static const char* const kw[] = {"handle", nullptr};
  PyObject* py_handle;
  std::uint64_t handle = 0;
  if (!parse_fast(args, nargs, kwnames, format, kw, &py_handle) ||
      !to_u64(py_handle, "handle", handle))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(call_engine(std::move(engine), [&](Vog& vog) { return (vog.*kOperation)(handle); }));
}

// Methods of a handle and a byte count: seek, truncate, reserve.
template <Result<void> (Vog::*kOperation)(StreamHandle, std::uint64_t)>
PyObject* handle_count_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, const char* format, const char* count_name) {
  const char* const kw[] = {"handle", count_name, nullptr};
  PyObject *py_handle, *py_count;
  std::uint64_t handle = 0, count = 0;
  if (!parse_fast(args, nargs, kwnames, format, kw, &py_handle, &py_count) ||
      !to_u64(py_handle, "handle", handle) || !to_u64(py_count, count_name, count))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(
      call_engine(std::move(engine), [&](Vog& vog) { return (vog.*kOperation)(handle, count); }));
}

PyObject* vog_list(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"path", nullptr};
  PyObject* py_path = nullptr;
  std::string path;
  if (!parse(args, kwargs, "|O:Vog.list", kw, &py_path) ||
      (py_path != nullptr && !to_path(py_path, "path", path)))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  auto listed = call_engine(std::move(engine), [&](Vog& vog) { return vog.list(path); });
  if (!listed) return nullptr;
  if (!*listed) return raise_vog_error(listed->error());
  const std::vector<DirEntry>& entries = **listed;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));  // new reference
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyObject* entry = new_dir_entry(entries[i]);  // new reference
    if (entry == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), entry);  // steals
  }
  return list;
}

PyObject* vog_create_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"path", "compressed", nullptr};
  PyObject *py_path, *py_compressed = Py_False;
  std::string path;
  bool compressed = false;
  if (!parse(args, kwargs, "O|O:Vog.create_stream", kw, &py_path, &py_compressed) ||
      !to_path(py_path, "path", path) || !to_flag(py_compressed, "compressed", compressed))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(call_engine(std::move(engine),
                            [&](Vog& vog) { return vog.create_stream(path, compressed); }));
}

PyObject* vog_open_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"path", "mode", nullptr};
  PyObject *py_path, *py_mode;
  std::string path;
  OpenMode mode;
  if (!parse(args, kwargs, "OO:Vog.open_stream", kw, &py_path, &py_mode) ||
      !to_path(py_path, "path", path) || !to_mode(py_mode, mode))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  return finish(
      call_engine(std::move(engine), [&](Vog& vog) { return vog.open_stream(path, mode); }));
}

PyObject* vog_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kw[] = {"handle", "length", nullptr};
  PyObject *py_handle, *py_length;
  std::uint64_t handle = 0, length = 0;
  if (!parse_fast(args, nargs, kwnames, "OO:Vog.read", kw, &py_handle, &py_length) ||
      !to_u64(py_handle, "handle", handle) || !to_u64(py_length, "length", length))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  // The result is allocated once, up front; a short read shrinks it in place.
  // Only the bytes the engine reports are ever exposed, so it needs no zero fill.
  if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / 2) return PyErr_NoMemory();
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
  if (result == nullptr) return nullptr;  // MemoryError
  std::span buffer(reinterpret_cast<std::byte*>(PyBytes_AS_STRING(result)),
                   static_cast<std::size_t>(length));
  auto got = call_engine(std::move(engine), [&](Vog& vog) { return vog.read(handle, buffer); });
  if (!got || !*got) {
    Py_DECREF(result);
    return got ? raise_vog_error(got->error()) : nullptr;
  }
  auto count = static_cast<Py_ssize_t>(std::min<std::uint64_t>(**got, length));
  if (count != static_cast<Py_ssize_t>(length) && _PyBytes_Resize(&result, count) < 0)
    return nullptr;
  return result;
}

PyObject* vog_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"handle", "data", nullptr};
  PyObject *py_handle, *data;  // borrowed; `data` stays alive through `args`
  std::uint64_t handle = 0;
  if (!parse(args, kwargs, "OO!:Vog.write", kw, &py_handle, &PyBytes_Type, &data) ||
      !to_u64(py_handle, "handle", handle))
    return nullptr;
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  std::span bytes(reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(data)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  return finish(call_engine(std::move(engine), [&](Vog& vog) { return vog.write(handle, bytes); }));
}

PyObject* vog_verify(PyObject* self, PyObject*) {
  std::shared_ptr<Vog> engine = engine_of(self);
  if (!engine) return nullptr;
  auto report = call_engine(std::move(engine), [](Vog& vog) { return vog.verify(); });
  if (!report) return nullptr;
  if (!*report) return raise_vog_error(report->error());
  return new_line_list(**report);
}

PyObject* vog_optimize(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kw[] = {"path", "password", nullptr};
  PyObject *py_path, *py_password = Py_None;
  std::string path;
  std::optional<std::vector<std::byte>> password;
  if (!parse(args, kwargs, "O|O:Vog.optimize", kw, &py_path, &py_password) ||
      !to_os_path(py_path, "path", path) || !to_password(py_password, password))
    return nullptr;
  return finish(run_unlocked([&] { return optimize(path, password_view(password)); }));
}

PyObject* vog_mkdir(PyObject* s, PyObject* a, PyObject* k) {
  return path_method<&Vog::mkdir>(s, a, k, "O:Vog.mkdir");
}
PyObject* vog_rmdir(PyObject* s, PyObject* a, PyObject* k) {
  return path_method<&Vog::rmdir>(s, a, k, "O:Vog.rmdir");
}
PyObject* vog_delete_stream(PyObject* s, PyObject* a, PyObject* k) {
  return path_method<&Vog::delete_stream>(s, a, k, "O:Vog.delete_stream");
}
PyObject* vog_rename_dir(PyObject* s, PyObject* a, PyObject* k) {
  return rename_method<&Vog::rename_dir>(s, a, k, "OO:Vog.rename_dir");
}
PyObject* vog_rename_stream(PyObject* s, PyObject* a, PyObject* k) {
  return rename_method<&Vog::rename_stream>(s, a, k, "OO:Vog.rename_stream");
}
PyObject* vog_close_stream(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_method<&Vog::close_stream>(s, a, n, k, "O:Vog.close_stream");
}
PyObject* vog_tell(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_method<&Vog::tell>(s, a, n, k, "O:Vog.tell");
}
PyObject* vog_stream_length(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_method<&Vog::stream_length>(s, a, n, k, "O:Vog.stream_length");
}
PyObject* vog_stream_reserved(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_method<&Vog::stream_reserved>(s, a, n, k, "O:Vog.stream_reserved");
}
PyObject* vog_is_stream_compressed(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_method<&Vog::is_stream_compressed>(s, a, n, k, "O:Vog.is_stream_compressed");
}
PyObject* vog_seek(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_count_method<&Vog::seek>(s, a, n, k, "OO:Vog.seek", "pos");
}
PyObject* vog_truncate(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_count_method<&Vog::truncate>(s, a, n, k, "OO:Vog.truncate", "new_len");
}
PyObject* vog_reserve(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) {
  return handle_count_method<&Vog::reserve>(s, a, n, k, "OO:Vog.reserve", "n_bytes");
}

PyMethodDef g_methods[] = {
    {"create", VOG_METHOD(vog_create), kArgs | METH_STATIC,
     "create(path, block_size_shift=12, compressed_block_size_shift=None, password=None)\n--\n\n"
     "Create a new Vog file. Compression support is always enabled.\n"
     "If `compressed_block_size_shift` is None, uses the default (15 = 32 KB).\n"
     "If `password` is provided, the file is encrypted with AES-XTS."},
    {"open", VOG_METHOD(vog_open), kArgs | METH_STATIC,
     "open(path, mode, password=None)\n--\n\n"
     "Open an existing Vog file.\n"
     "If the file is encrypted, `password` must be provided."},
    {"close", VOG_METHOD(vog_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"mkdir", VOG_METHOD(vog_mkdir), kArgs, "mkdir($self, path)\n--\n\n"},
    {"rmdir", VOG_METHOD(vog_rmdir), kArgs, "rmdir($self, path)\n--\n\n"},
    {"list", VOG_METHOD(vog_list), kArgs, "list($self, path=\"\")\n--\n\n"},
    {"rename_dir", VOG_METHOD(vog_rename_dir), kArgs, "rename_dir($self, old_path, new_path)\n--\n\n"},
    {"create_stream", VOG_METHOD(vog_create_stream), kArgs,
     "create_stream($self, path, compressed=False)\n--\n\n"},
    {"open_stream", VOG_METHOD(vog_open_stream), kArgs, "open_stream($self, path, mode)\n--\n\n"},
    {"close_stream", VOG_METHOD(vog_close_stream), kFastArgs,
     "close_stream($self, handle)\n--\n\n"},
    {"delete_stream", VOG_METHOD(vog_delete_stream), kArgs, "delete_stream($self, path)\n--\n\n"},
    {"rename_stream", VOG_METHOD(vog_rename_stream), kArgs,
     "rename_stream($self, old_path, new_path)\n--\n\n"},
    {"read", VOG_METHOD(vog_read), kFastArgs, "read($self, handle, length)\n--\n\n"},
    {"write", VOG_METHOD(vog_write), kArgs, "write($self, handle, data)\n--\n\n"},
    {"seek", VOG_METHOD(vog_seek), kFastArgs, "seek($self, handle, pos)\n--\n\n"},
    {"tell", VOG_METHOD(vog_tell), kFastArgs, "tell($self, handle)\n--\n\n"},
    {"stream_length", VOG_METHOD(vog_stream_length), kFastArgs,
     "stream_length($self, handle)\n--\n\n"},
    {"truncate", VOG_METHOD(vog_truncate), kFastArgs, "truncate($self, handle, new_len)\n--\n\n"},
    {"reserve", VOG_METHOD(vog_reserve), kFastArgs, "reserve($self, handle, n_bytes)\n--\n\n"},
    {"stream_reserved", VOG_METHOD(vog_stream_reserved), kFastArgs,
     "stream_reserved($self, handle)\n--\n\n"},
    {"is_stream_compressed", VOG_METHOD(vog_is_stream_compressed), kFastArgs,
     "is_stream_compressed($self, handle)\n--\n\n"},
    {"is_encrypted", VOG_METHOD(vog_is_encrypted), METH_NOARGS, "is_encrypted($self)\n--\n\n"},
    {"verify", VOG_METHOD(vog_verify), METH_NOARGS, "verify($self)\n--\n\n"},
    {"optimize", VOG_METHOD(vog_optimize), kArgs | METH_STATIC,
     "optimize(path, password=None)\n--\n\n"
     "Optimize a Vog file by rewriting it without free blocks.\n"
     "Removes free blocks and rewrites streams contiguously for maximum locality.\n"
     "Returns the number of bytes reclaimed.\n"
     "For encrypted files, the password must be provided."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_vog_type(std::span<const PyMethodDef> extra_methods) {
  // The type keeps a pointer to its method table: it lives as long as the process.
  static std::vector<PyMethodDef> methods;
  // An extra method replaces the shared one of the same name.
  methods.assign(extra_methods.begin(), extra_methods.end());
  for (const PyMethodDef* base = std::begin(g_methods); base->ml_name != nullptr; ++base) {
    const bool replaced = std::ranges::any_of(extra_methods, [&](const PyMethodDef& extra) {
      return std::string_view(extra.ml_name) == base->ml_name;
    });
    if (!replaced) methods.push_back(*base);
  }
  methods.push_back({nullptr, nullptr, 0, nullptr});
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(vog_dealloc)},
      {Py_tp_methods, nullptr},
      {0, nullptr},
  };
  slots[1].pfunc = methods.data();
  static PyType_Spec vog_type_shape = {
      "builtins.Vog", sizeof(VogObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&vog_type_shape));  // new reference
}

}  // namespace vog::python
