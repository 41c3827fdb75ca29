// Transactions and snapshots: a group of changes committed as one, or taken
// back together; a run of reads that sees one commit.
//
// A transaction is a state of the whole Vog (VogState::transaction, under
// commit_mu), not of a thread: while its depth is above 0, Vog::commit() does
// nothing, so every change joins it. States:
//
//   NONE --transaction()--> OPEN(depth 1) --transaction()--> OPEN(depth n+1)
//   OPEN(n > 1) --commit()--> OPEN(n - 1)
//   OPEN(1) --commit()--> NONE              one commit of the stream layer
//   OPEN(n) --roll_back() at any depth--> NONE, serial ended
//
// A Transaction object remembers the serial of the transaction it belongs
// to: once that transaction has ended by a rollback, its commit() fails and
// its destructor does nothing.
//
// A rollback holds commit_mu and view_mu exclusively, so that no change and
// no read is in flight while the layers forget what they held: the stream
// layer drops its handles and rolls back (down to the file layer), this
// layer drops its handle table and its directory cache.
//
// A snapshot of a read-only Vog is one ReadSection held for its whole life:
// the file's read lock stays taken, so no commit of another open is written
// back meanwhile and every read inside sees the generation it began with.
//
// Invariants:
//   1. Beginning a transaction at depth 0 commits first: a rollback takes
//      back exactly what was done since it began.
//   2. A failed rollback sets VogState::broken, and from then on nothing
//      commits: the journal still holds what the next open rolls back.
// Locking: see vog_state.hpp.
#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "fork_guard.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {

Transaction::Transaction(std::shared_ptr<Vog> vog, std::uint64_t serial) noexcept
    : vog_(std::move(vog)), serial_(serial) {}

Transaction::Transaction(Transaction&& other) noexcept
    : vog_(std::move(other.vog_)), serial_(other.serial_) {}

Transaction::~Transaction() {
  if (!vog_ || vog_->is_forked_copy()) return;
  if (auto rolled = vog_->end_transaction(serial_, /*commit=*/false); !rolled) {
    // Written whole, so a message quoting a path with any byte in it stays intact.
    std::string line = "Vog transaction: error rolling back: " + rolled.error().to_string() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
}

Result<void> Transaction::commit() {
  if (!vog_) return std::unexpected(VogError::io("the transaction has already ended"));
  VOG_CHECK(vog_->end_transaction(serial_, /*commit=*/true));
  vog_.reset();
  return {};
}

Result<void> Transaction::roll_back() {
  if (!vog_) return std::unexpected(VogError::io("the transaction has already ended"));
  return std::exchange(vog_, nullptr)->end_transaction(serial_, /*commit=*/false);
}

Snapshot::Snapshot(std::shared_ptr<Vog> vog, std::unique_ptr<ReadSection> section) noexcept
    : vog_(std::move(vog)), section_(std::move(section)) {}

Snapshot::Snapshot(Snapshot&& other) noexcept = default;

Snapshot::~Snapshot() {
  // A copy in a forked child holds the parent's read lock: it stays taken.
  if (vog_ && vog_->is_forked_copy()) (void)section_.release();
}

Result<Transaction> Vog::transaction() {
  if (!writable_) return std::unexpected(VogError::read_only("Vog file is opened for reading"));
  if (is_forked_copy()) return std::unexpected(forked_copy_error());
  if (durability_ == Durability::Off)
    return std::unexpected(VogError::io(
        "a transaction needs the rollback journal, which a Vog file at durability off does not "
        "keep"));
  std::unique_lock exclusive(state_->commit_mu);
  if (state_->broken) return std::unexpected(*state_->broken);
  TransactionState& open = state_->transaction;
  if (open.depth == 0) {
    VOG_CHECK(streams_->commit());  // invariant 1
    ++open.serial;
  }
  ++open.depth;
  return Transaction(shared_from_this(), open.serial);
}

Result<void> Vog::end_transaction(std::uint64_t serial, bool commit) {
  if (is_forked_copy()) return std::unexpected(forked_copy_error());
  std::unique_lock exclusive(state_->commit_mu);
  TransactionState& open = state_->transaction;
  if (open.depth == 0 || open.serial != serial) {
    if (!commit) return {};
    return std::unexpected(VogError::io("the transaction was rolled back: nothing was committed"));
  }
  if (commit) {
    if (open.depth > 1) {
      --open.depth;
      return {};
    }
    if (state_->broken) return std::unexpected(*state_->broken);
    VOG_CHECK(streams_->commit());  // on failure it stays open, to commit again or roll back
    open.depth = 0;
    return {};
  }
  open.depth = 0;
  std::unique_lock view(state_->view_mu);
  {
    // Handle numbers are never reused, so calls on these fail from now on.
    std::lock_guard lock(state_->mu);
    state_->open_streams.clear();
    state_->dir_cache.clear();
  }
  auto rolled = streams_->roll_back();
  if (!rolled)
    state_->broken = VogError(rolled.error().kind(),
                              "a rollback failed, so nothing more is committed (reopen the file "
                              "to return to its last commit): " +
                              rolled.error().detail());
  return rolled;
}

Result<Snapshot> Vog::snapshot() {
  if (writable_) return Snapshot(shared_from_this(), nullptr);
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  return Snapshot(shared_from_this(), std::make_unique<ReadSection>(std::move(*section)));
}

}  // namespace vog
