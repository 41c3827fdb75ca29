// ThreadCaches: one private BlockCache per thread for one store.
//
// A thread finds its own cache without taking any lock shared with other
// threads. The caches are freed when the store drops its ThreadCaches (for
// every thread at once) or when a thread ends (that thread's caches on every
// store), whichever comes first.
//
// Thread safety: find() and find_or_create() return the calling thread's own
// cache, which only that thread may use. The destructor must not run while
// other threads still call into the store, as for any other member of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "block_cache.hpp"

namespace vog {

class ThreadCaches {
 public:
  ThreadCaches(std::size_t capacity, std::size_t block_size);
  ~ThreadCaches();

  ThreadCaches(const ThreadCaches&) = delete;
  ThreadCaches& operator=(const ThreadCaches&) = delete;

  // The calling thread's cache, or nullptr when it has none yet.
  [[nodiscard]] BlockCache* find() const noexcept;
  // The calling thread's cache, made empty if it has none. nullptr only while
  // the thread itself is ending, when no cache can be kept for it any more.
  [[nodiscard]] BlockCache* find_or_create();

  // Caches currently held for this store across all threads.
  [[nodiscard]] std::size_t live_caches() const;

  struct Registry;  // shared with the threads' own tables; defined in the .cpp

 private:
  const std::size_t capacity_;
  const std::size_t block_size_;
  const std::uint64_t serial_;  // never reused, unlike the store's address
  const std::shared_ptr<Registry> registry_;
};

}  // namespace vog
