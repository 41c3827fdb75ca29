// Vog: a tree of directories and named byte streams kept inside one file.
//
// A Vog is the handle of one open Vog file. Paths are "/"-separated, the root
// being the empty path; no leading or trailing "/", no empty component, no "."
// or "..", no NUL byte. Streams are opened by path and then used through a
// StreamHandle that carries a position, like a file descriptor; handles are
// numbered from 0 per Vog and never reused.
//
// Every fallible operation returns Result<T>: the value or a VogError, whose
// kind callers may branch on and whose to_string() is the message to show.
//
// Thread safety: every method may be called from any number of threads at
// once. A Vog is shared (std::shared_ptr); when the last reference goes, every
// stream handle still open is closed and the file is released. A failure at
// that point cannot be returned: it is written to standard error.
//
// Commits: at durability Process or Full every change of the tree, and the
// close of a stream handle opened for writing, commits on its own: a crash
// leaves the file as of the last commit. A Transaction groups changes into
// one commit, or none; a Snapshot keeps a reader on one commit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "durability.hpp"
#include "error.hpp"

namespace vog {

class FileSystem;
class ReadSection;
class StreamLayer;
class VerifyReport;
class Vog;
struct VogState;

using StreamHandle = std::uint64_t;

enum class EntryType : std::uint8_t { Stream = 0, Directory = 1 };
enum class OpenMode : std::uint8_t { Read = 0, Write = 1 };

// One row of a listing.
struct DirEntry {
  std::string name;  // the leaf name, without any trailing "/"
  EntryType entry_type = EntryType::Stream;
  friend bool operator==(const DirEntry&, const DirEntry&) = default;
};

// What stat() reports; the sizes are those of a stream and 0 for a directory.
struct PathInfo {
  EntryType entry_type = EntryType::Stream;
  std::uint64_t length = 0;
  std::uint64_t reserved = 0;
  bool compressed = false;
  // The stream that holds the stream's bytes, or the directory's entries: what
  // tells two paths to one directory apart from two directories.
  std::uint32_t stream_id = 0;
};

struct CreateOptions {
  // Absent: not encrypted. An empty password is a password like any other.
  std::optional<std::span<const std::byte>> password;
  std::uint8_t block_size_shift = 12;             // blocks of 4096 bytes
  std::uint8_t compressed_block_size_shift = 15;  // compressed blocks of 32 KiB
  Durability durability = Durability::Process;
  FileSystem* file_system = nullptr;  // null: the operating system's
  // How long a commit waits for readers of other opens inside a read.
  std::chrono::milliseconds timeout{5000};
};

// Sharing (doc/concurrency.md): one writer and any number of readers, in this
// process and others. A journaled writer (durability Process or Full) shares
// the file with readers, who read its last commit; at durability Off a writer
// keeps everyone out.
struct OpenOptions {
  std::optional<std::span<const std::byte>> password;
  Durability durability = Durability::Process;  // for a writable open
  FileSystem* file_system = nullptr;            // null: the operating system's
  // How long an open waits for another writer to close, a commit for readers
  // inside a read, and a read for a commit's write-back; past it they fail
  // (a commit's changes stay pending). Zero: no waiting at all.
  std::chrono::milliseconds timeout{5000};
  // How long the open itself waits for another writer, when not `timeout`.
  std::optional<std::chrono::milliseconds> open_timeout;
};

// An open transaction of a writable Vog (Vog::transaction). Until it ends,
// no change of that Vog commits on its own: every change, by any thread,
// joins it, and so does sync(), which then commits nothing. commit() makes
// them all one commit (at Durability::Full, one commit's forcing to disk);
// roll_back(), or destroying it before either, takes them all back: streams
// created, written, truncated, deleted or renamed, directories made,
// removed or renamed. A rollback closes every stream handle open on the Vog,
// whenever it was opened: their later calls fail as "invalid stream handle".
// Readers of other opens never see a change of it before its commit.
//
// A transaction begun while one is open joins it: its commit() only ends it,
// the outermost commit() commits, and a roll_back() at any depth takes back
// the whole transaction at once; the commit() of one it joined then fails.
// A commit that fails (readers of other opens in the way past the timeout)
// leaves the transaction open, to commit again or roll back.
//
// Move-only; it keeps its Vog open. Ends in a forked child without a word:
// the file is the parent's.
class Transaction {
 public:
  Transaction(Transaction&& other) noexcept;
  Transaction& operator=(Transaction&&) = delete;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  // Rolls back when neither commit() nor roll_back() ended it; a failure is
  // written to standard error.
  ~Transaction();

  [[nodiscard]] Result<void> commit();
  [[nodiscard]] Result<void> roll_back();

 private:
  friend class Vog;
  Transaction(std::shared_ptr<Vog> vog, std::uint64_t serial) noexcept;
  std::shared_ptr<Vog> vog_;  // null once ended
  std::uint64_t serial_;      // which transaction of the Vog it belongs to
};

// A snapshot of a read-only Vog (Vog::snapshot): while it lives, every read of
// that Vog, by any thread, sees the one commit the file showed when it began.
// A writer of another open cannot write a commit back meanwhile: its commit
// waits for the snapshot to end, at most that writer's timeout, then fails
// with its changes still pending. Keep it short. On a writable Vog, which
// always reads its own state, it does nothing.
//
// Move-only; it keeps its Vog open, and ends on the thread that took it.
class Snapshot {
 public:
  Snapshot(Snapshot&& other) noexcept;
  Snapshot& operator=(Snapshot&&) = delete;
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  ~Snapshot();

 private:
  friend class Vog;
  Snapshot(std::shared_ptr<Vog> vog, std::unique_ptr<ReadSection> section) noexcept;
  std::shared_ptr<Vog> vog_;
  std::unique_ptr<ReadSection> section_;  // null on a writable Vog
};

class Vog : public std::enable_shared_from_this<Vog> {
 public:
  // Creates a new file; it must not exist. Fails before touching the disk when
  // the compressed block size is below the block size.
  [[nodiscard]] static Result<std::shared_ptr<Vog>> create(const std::string& path,
                                                           const CreateOptions& options = {});
  // Opens an existing file for reading or for writing, beside readers and
  // apart from any other writer (OpenOptions). An encrypted file needs its
  // password.
  [[nodiscard]] static Result<std::shared_ptr<Vog>> open(
      const std::string& path, OpenMode mode,
      std::optional<std::span<const std::byte>> password = std::nullopt);
  // A writable open rolls back first what a crash left unfinished; a reader
  // reads the last commit through the journal, changing nothing.
  [[nodiscard]] static Result<std::shared_ptr<Vog>> open(const std::string& path, OpenMode mode,
                                                         const OpenOptions& options);

  // The same on a stream layer that already exists: create_on makes the root
  // directory and writes the namespace header; open_on reads it.
  [[nodiscard]] static Result<std::shared_ptr<Vog>> create_on(std::unique_ptr<StreamLayer> streams);
  [[nodiscard]] static Result<std::shared_ptr<Vog>> open_on(std::unique_ptr<StreamLayer> streams,
                                                            OpenMode mode);

  Vog(const Vog&) = delete;
  Vog& operator=(const Vog&) = delete;
  ~Vog();

  [[nodiscard]] bool is_writable() const noexcept { return writable_; }
  // Whether this is the copy that fork() made in a child process. The copy is
  // inert: it never writes, commits or removes the journal, its changes fail,
  // and dropping it leaves the file as the parent has it. A child opens the
  // file again.
  [[nodiscard]] bool is_forked_copy() const noexcept;
  [[nodiscard]] bool is_encrypted() const noexcept;
  // The geometry chosen when the file was created: blocks of 2^block_size_shift
  // bytes, compressed streams cut into 2^compressed_block_size_shift bytes.
  [[nodiscard]] std::uint8_t block_size_shift() const noexcept;
  [[nodiscard]] std::uint8_t compressed_block_size_shift() const noexcept;

  // Directories. mkdir never creates missing parents; rmdir needs an empty
  // directory; rename_dir moves a whole subtree. The root cannot be made,
  // removed or renamed.
  [[nodiscard]] Result<void> mkdir(std::string_view path);
  [[nodiscard]] Result<void> rmdir(std::string_view path);
  [[nodiscard]] Result<void> rename_dir(std::string_view old_path, std::string_view new_path);
  // The entries of a directory, sorted by the bytes of their names.
  [[nodiscard]] Result<std::vector<DirEntry>> list(std::string_view path = {});

  // Streams by path. create_stream returns the new stream open for writing.
  // A stream cannot be deleted or renamed while this Vog has it open.
  [[nodiscard]] Result<StreamHandle> create_stream(std::string_view path, bool compressed = false);
  [[nodiscard]] Result<StreamHandle> open_stream(std::string_view path, OpenMode mode);
  [[nodiscard]] Result<void> close_stream(StreamHandle handle);
  [[nodiscard]] Result<void> delete_stream(std::string_view path);
  [[nodiscard]] Result<void> rename_stream(std::string_view old_path, std::string_view new_path);

  // Streams by handle. read and write start at the handle's position and move
  // it on by the count they return; read returns 0 at the end of the stream.
  [[nodiscard]] Result<std::size_t> read(StreamHandle handle, std::span<std::byte> buffer);
  [[nodiscard]] Result<std::size_t> write(StreamHandle handle, std::span<const std::byte> data);
  // Absolute positions from 0 up to the stream's length, inclusive.
  [[nodiscard]] Result<void> seek(StreamHandle handle, std::uint64_t pos);
  [[nodiscard]] Result<std::uint64_t> tell(StreamHandle handle);
  // Shortens the stream (never lengthens it); a position beyond moves back.
  [[nodiscard]] Result<void> truncate(StreamHandle handle, std::uint64_t new_len);
  // Allocates room for `n_bytes` without changing the length.
  [[nodiscard]] Result<void> reserve(StreamHandle handle, std::uint64_t n_bytes);
  [[nodiscard]] Result<std::uint64_t> stream_length(StreamHandle handle);
  [[nodiscard]] Result<std::uint64_t> stream_reserved(StreamHandle handle);
  [[nodiscard]] Result<bool> is_stream_compressed(StreamHandle handle);

  // File-like access. read_at and write_at transfer at `offset` and neither use
  // nor move the handle's position, so one handle serves callers that keep
  // positions of their own; a write past the end fills the gap with zeros.
  // resize shortens the stream or lengthens it with zeros (a shorter length
  // lowers the position as truncate does). stat describes what `path` names
  // without opening it: the root is the empty path, and a stream this Vog holds
  // open for writing is described as its handle sees it.
  [[nodiscard]] Result<std::size_t> read_at(StreamHandle handle, std::uint64_t offset,
                                            std::span<std::byte> buffer);
  [[nodiscard]] Result<std::size_t> write_at(StreamHandle handle, std::uint64_t offset,
                                             std::span<const std::byte> data);
  [[nodiscard]] Result<void> resize(StreamHandle handle, std::uint64_t new_len);
  [[nodiscard]] Result<PathInfo> stat(std::string_view path);

  // Closes every open stream handle; keeps going after a failure and returns the first.
  [[nodiscard]] Result<void> flush_open_streams();
  // A commit point: everything done so far, also through handles still open,
  // survives a crash (a power loss too at Durability::Full). Handles stay open.
  // Inside a transaction it commits nothing (the transaction's commit does).
  [[nodiscard]] Result<void> sync();

  // Begins a transaction (see Transaction), first committing what was done
  // before it; or joins the one open. Refused on a read-only Vog, and at
  // Durability::Off, which keeps no journal to roll back with.
  [[nodiscard]] Result<Transaction> transaction();
  // Begins a snapshot (see Snapshot). Fails as a read does when a commit of
  // another open keeps the file past the timeout.
  [[nodiscard]] Result<Snapshot> snapshot();

  // Checks the whole file and returns one line per problem found, each naming
  // its layer ("L1: " to "L4: "); empty when the file is consistent. Changes
  // nothing. Fails only when the check itself cannot go on.
  // At most `max_lines` problem lines are returned (verify() keeps 10,000);
  // when there are more, one last line says how many more of which kinds were
  // found. Memory use does not grow with the number of problems.
  [[nodiscard]] Result<std::vector<std::string>> verify();
  [[nodiscard]] Result<std::vector<std::string>> verify(std::size_t max_lines);

 private:
  friend class TreeCopy;  // optimize walks both trees by directory stream ID
  friend class Salvage;   // salvage reads the source by stream ID
  friend class ReadSection;  // finds the streams of open handles again after a commit
  friend class Transaction;

  Vog(std::unique_ptr<StreamLayer> streams, std::uint32_t root_stream_id, bool writable);

  // The operations without their commit (vog_commit.cpp holds the public ones).
  [[nodiscard]] Result<void> raw_mkdir(std::string_view path);
  [[nodiscard]] Result<void> raw_rmdir(std::string_view path);
  [[nodiscard]] Result<void> raw_rename_dir(std::string_view old_path, std::string_view new_path);
  [[nodiscard]] Result<StreamHandle> raw_create_stream(std::string_view path, bool compressed);
  [[nodiscard]] Result<void> raw_close_stream(StreamHandle handle);
  [[nodiscard]] Result<void> raw_delete_stream(std::string_view path);
  [[nodiscard]] Result<void> raw_rename_stream(std::string_view old_path,
                                               std::string_view new_path);
  [[nodiscard]] Result<std::size_t> raw_write(StreamHandle handle, std::span<const std::byte> data);
  [[nodiscard]] Result<void> raw_truncate(StreamHandle handle, std::uint64_t new_len);
  [[nodiscard]] Result<void> raw_reserve(StreamHandle handle, std::uint64_t n_bytes);
  [[nodiscard]] Result<void> raw_flush_open_streams();
  // Runs a change while holding off commits, then commits unless the level is Off.
  template <class Change>
  auto committed(Change change) -> decltype(change());
  template <class Change>
  auto uncommitted(Change change) -> decltype(change());
  [[nodiscard]] Result<void> commit();
  // Ends transaction `serial` by committing it (or, when joined, leaving the
  // commit to the outermost) or by rolling the whole of it back.
  [[nodiscard]] Result<void> end_transaction(std::uint64_t serial, bool commit);

  // The bytes of a directory stream, from the cache when it holds them.
  [[nodiscard]] Result<std::vector<std::byte>> get_dir_content(std::uint32_t dir);
  // The stream ID stored under `name` in directory `dir`, searched in the
  // cached copy without copying it; a miss reads the directory into the cache,
  // through the caller's open handle of `dir` when one is given.
  [[nodiscard]] Result<std::optional<std::uint32_t>> find_in_dir(
      std::uint32_t dir, std::string_view name, std::optional<std::uint64_t> dir_handle = {});
  [[nodiscard]] Result<std::uint32_t> resolve_dir_stream_id(std::string_view path);
  // mkdir once the parent is known: `stored` is the leaf plus "/", `path` the
  // whole path for messages. Returns the new directory's stream ID.
  // REQUIRES: the caller holds the tree lock shared; the name is valid.
  [[nodiscard]] Result<std::uint32_t> make_directory_in(std::uint32_t parent_id,
                                                        std::string_view stored,
                                                        std::string_view path);
  void invalidate_dir_cache(std::uint32_t dir);
  [[nodiscard]] Result<StreamHandle> add_open_stream(std::string_view path, std::uint64_t handle,
                                                     std::uint32_t stream_id, bool writable);
  // Moves an entry between two directories, putting it back where it was when
  // anything after its removal fails.
  [[nodiscard]] Result<void> move_entry(std::uint32_t from_dir, std::string_view from_name,
                                        std::string_view from_path, std::uint32_t to_dir,
                                        std::string_view to_name, std::string_view to_path);
  [[nodiscard]] Result<void> rename_entry(std::uint32_t dir, std::string_view from_name,
                                          std::string_view from_path, std::string_view to_name,
                                          std::string_view to_path);
  [[nodiscard]] bool is_open_stream(std::uint32_t stream_id);
  // Claims `dir` and everything below it, adding a line for each directory
  // that cannot be read; walks with a stack of its own, never the call stack.
  [[nodiscard]] Result<void> collect_stream_ids_recursive(std::uint32_t dir,
                                                          std::vector<std::uint32_t>& claimed,
                                                          VerifyReport& report);

  std::unique_ptr<StreamLayer> streams_;
  std::unique_ptr<VogState> state_;
  const std::uint32_t root_stream_id_;
  const bool writable_;
  Durability durability_ = Durability::Process;  // set once by create and open
  const std::uint64_t fork_generation_;
};

// Rewrites the file at `path` without its free blocks and returns how many bytes
// it shrank (0 when it did not). The file must not be open anywhere; the new
// file is written beside it as path + ".optimize.tmp", forced to disk, and
// renamed over it. An encrypted file needs its password and keeps it.
[[nodiscard]] Result<std::uint64_t> optimize(const std::string& path,
                                             std::optional<std::span<const std::byte>> password);

// One path of a damaged file that salvage could not copy whole.
enum class SalvageLossKind : std::uint8_t {
  Directory,  // unreadable (or met twice): it and everything below it are missing
  Stream,     // unreadable or unnameable: missing from the new file
  Truncated,  // the stream holds only its first saved_bytes bytes
};

struct SalvageLoss {
  std::string path;  // as named in the damaged file; "" is the root directory
  SalvageLossKind kind = SalvageLossKind::Stream;
  std::uint64_t saved_bytes = 0;  // Truncated only
  std::string reason;             // the failure, as VogError::to_string() shows it
  friend bool operator==(const SalvageLoss&, const SalvageLoss&) = default;
};

struct SalvageReport {
  std::vector<SalvageLoss> lost;  // in the order the walk met them; empty: all saved
  std::uint64_t directories_saved = 0;  // the root included
  std::uint64_t streams_saved = 0;      // whole; truncated ones count in `lost`
};

// Copies every directory and stream that can still be read from the damaged
// file at `path` into a new file at `new_path` (which must not exist), with the
// same geometry and password, and reports each path it could not copy whole.
// A stream that fails part-way keeps its readable prefix. The damaged file is
// only read. Fails when the damaged file cannot be opened at all (its header
// or password) or the new file cannot be written; the new file is then removed.
[[nodiscard]] Result<SalvageReport> salvage(const std::string& path, const std::string& new_path,
                                            std::optional<std::span<const std::byte>> password);

}  // namespace vog
