// Connection pools, one per connection string: idle connections are kept
// and leased again, so a statement does not pay for a connection of its
// own each time.
//
// Rules: a connection whose link failed is discarded, never pooled again;
// an idle connection found dead is replaced before a statement is sent on
// it, so the caller never sees it; a connection whose database was
// superseded (backend.h) is closed when it comes back, and an idle one
// when a lease would take it, so a new connection opens only once no idle
// one is left to close; CloseIdleConnections closes the idle ones at once
// and the leased ones when they come back. A child process
// made by fork() never uses the connections of the process-wide pools that
// it inherited: it opens its own.
//
// Thread-safe. The pool's mutex guards only its idle lists; opening,
// running and closing happen outside it, so requests never wait for each
// other's statements.
#ifndef ZELVAR_DB_POOL_H_
#define ZELVAR_DB_POOL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/backend.h"

namespace zelvar::db {

class Lease;

// A set of pools, one per connection string.
class Pool {
 public:
  using Opener = std::function<Status(const std::string& connection_string,
                                      std::unique_ptr<Connection>* connection)>;

  // The process-wide pools, opening with OpenConnection.
  static Pool& Instance();

  explicit Pool(Opener opener);
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  // REQUIRES: no lease of this pool is alive.
  ~Pool();

  // Leases a connection for `connection_string`: an idle one that is
  // alive, or a new one. `fresh` skips the idle ones (a test of a string
  // must open a connection). Whatever `lease` held is given back first;
  // it stays empty when no connection can be opened.
  Status Acquire(const std::string& connection_string, bool fresh, Lease* lease);

  void CloseIdle();

  // Idle connections held for `connection_string` (for tests).
  size_t IdleCount(const std::string& connection_string);

 private:
  friend class Lease;
  struct Shared;
  struct Slot;  // the idle connections of one string

  void Return(Slot* slot, std::unique_ptr<Connection> connection, uint64_t generation);
  void ForgetAfterFork();

  Opener opener_;
  std::unique_ptr<Shared> shared_;
};

// One leased connection. Moving transfers the lease; the destructor gives
// the connection back (or closes it when it failed at the link level).
class Lease {
 public:
  Lease() = default;
  Lease(Lease&& other) noexcept;
  Lease& operator=(Lease&& other) noexcept;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease();

  explicit operator bool() const { return connection_ != nullptr; }
  Connection* operator->() const { return connection_.get(); }
  Connection& operator*() const { return *connection_; }

  // The link failed: the connection is closed instead of pooled.
  void MarkBroken() { broken_ = true; }
  // Notes a failure of a statement run on the connection, so that a link
  // failure is never pooled again.
  void Note(const Status& status) {
    if (status.IsLink()) broken_ = true;
  }
  // Ends the lease now.
  void Release();

 private:
  friend class Pool;
  Lease(Pool* pool, Pool::Slot* slot, std::unique_ptr<Connection> connection, uint64_t generation)
      : pool_(pool), slot_(slot), connection_(std::move(connection)), generation_(generation) {}

  Pool* pool_ = nullptr;
  Pool::Slot* slot_ = nullptr;  // owned by the pool, never freed
  std::unique_ptr<Connection> connection_;
  uint64_t generation_ = 0;
  bool broken_ = false;
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_POOL_H_
