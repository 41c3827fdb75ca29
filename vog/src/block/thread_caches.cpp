// ThreadCaches: per-thread block caches that die with their store or their thread.
//
// Ownership. Every cache is owned by its store's Registry, keyed by the thread
// that uses it. Each thread keeps a thread_local table from store serial to
// {weak reference to the Registry, raw pointer to its cache}: the lookup on
// every block transfer reads only that table, so no lock is shared between
// threads on the hot path. Stores are told apart by a serial number from a
// process-wide counter, never by address, so a new store at the address of a
// dropped one cannot find the dropped store's stale entry.
//
// Lifetimes.
//  - Store dropped: ~ThreadCaches empties the Registry under its mutex, freeing
//    every thread's cache for that store. Threads keep a stale entry (a serial
//    that never comes back and an expired weak reference); entries are pruned
//    whenever the thread creates its next cache.
//  - Thread ends: the table's destructor visits its entries; for each store
//    still alive (weak reference locks) it erases its own cache from that
//    store's Registry under the Registry mutex.
//  - Both at once: the ending thread holds a strong reference to the Registry
//    while it erases, so the Registry outlives both sides; whichever side
//    takes the mutex first frees the cache and the other finds nothing.
//
// Invariants:
//  1. A raw pointer in a thread's table is dereferenced only by that thread
//     and only while the store is alive (a caller is inside one of its calls),
//     when the Registry still owns the cache.
//  2. Once a thread's table is destroyed (tls_ending), that thread gets no
//     cache any more and its transfers go uncached.
//
// Locking: Registry::mu is taken on cache creation, thread exit and store drop
// only, and never while any other lock of the block layer is held.
#include "thread_caches.hpp"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vog {

struct ThreadCaches::Registry {
  std::mutex mu;
  // Keyed by the owning thread's table, which lives until that thread ends.
  std::unordered_map<const void*, std::unique_ptr<BlockCache>> caches;  // guarded by mu
};

namespace {

std::atomic<std::uint64_t> next_serial{1};

struct ThreadTable {
  struct Entry {
    std::weak_ptr<ThreadCaches::Registry> registry;
    BlockCache* cache;
  };

  ThreadTable() = default;
  ThreadTable(const ThreadTable&) = delete;
  ThreadTable& operator=(const ThreadTable&) = delete;
  ~ThreadTable();

  void prune_dropped_stores() {
    std::erase_if(by_serial, [](const auto& item) { return item.second.registry.expired(); });
  }

  std::unordered_map<std::uint64_t, Entry> by_serial;
};

// Trivially destructible, so it can be read even after tls_table is gone.
thread_local bool tls_ending = false;
thread_local ThreadTable tls_table;

ThreadTable::~ThreadTable() {
  tls_ending = true;
  for (auto& [serial, entry] : by_serial) {
    std::shared_ptr<ThreadCaches::Registry> registry = entry.registry.lock();
    if (!registry) continue;  // the store went first and freed the cache
    std::unique_ptr<BlockCache> doomed;
    {
      std::lock_guard lock(registry->mu);
      auto found = registry->caches.find(this);
      if (found != registry->caches.end()) {
        doomed = std::move(found->second);
        registry->caches.erase(found);
      }
    }
  }
}

}  // namespace

ThreadCaches::ThreadCaches(std::size_t capacity, std::size_t block_size)
    : capacity_(capacity),
      block_size_(block_size),
      serial_(next_serial.fetch_add(1, std::memory_order_relaxed)),
      // Not make_shared: threads' weak references must not keep the memory.
      registry_(new Registry) {}

ThreadCaches::~ThreadCaches() {
  std::unordered_map<const void*, std::unique_ptr<BlockCache>> doomed;
  {
    std::lock_guard lock(registry_->mu);
    doomed.swap(registry_->caches);
  }
}

BlockCache* ThreadCaches::find() const noexcept {
  if (tls_ending) return nullptr;
  ThreadTable& table = tls_table;
  auto found = table.by_serial.find(serial_);
  return found == table.by_serial.end() ? nullptr : found->second.cache;
}

BlockCache* ThreadCaches::find_or_create() {
  if (tls_ending) return nullptr;
  ThreadTable& table = tls_table;
  if (auto found = table.by_serial.find(serial_); found != table.by_serial.end())
    return found->second.cache;

  table.prune_dropped_stores();
  auto cache = std::make_unique<BlockCache>(capacity_, block_size_);
  BlockCache* raw = cache.get();
  {
    std::lock_guard lock(registry_->mu);
    registry_->caches.emplace(&table, std::move(cache));
  }
  table.by_serial.emplace(serial_, ThreadTable::Entry{registry_, raw});
  return raw;
}

std::size_t ThreadCaches::live_caches() const {
  std::lock_guard lock(registry_->mu);
  return registry_->caches.size();
}

}  // namespace vog
