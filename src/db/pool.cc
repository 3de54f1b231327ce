// Connection pools per connection string.

#include "db/pool.h"

#include <pthread.h>

#include <chrono>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/back_off.h"
#include "db/connection_string.h"

namespace zelvar::db {
namespace {

// Idle connections kept per string; more are closed when they come back,
// so the server holds hardly more sessions than the host has requests in
// flight.
constexpr size_t kMaxIdlePerString = 8;

// After a failed connect to a server (to every server of a list), further
// connects with the same string wait a back-off (back_off.h) of at most
// this long; requests meanwhile fail at once, so a server that is down
// costs no connect storm. Opening an SQLite file costs no server anything
// and is tried every time.
constexpr auto kMaxBackOff = std::chrono::seconds(1);

}  // namespace

struct Pool::Slot {
  // Guarded by Shared::mutex.
  std::vector<std::unique_ptr<Connection>> connections;
  bool backs_off = false;  // a server's string
  ConnectBackOff back_off{kMaxBackOff};
  Status last_failure;
};

struct Pool::Shared {
  std::mutex mutex;
  // Entries are never erased, so a lease may keep a pointer to its slot.
  std::unordered_map<std::string, std::unique_ptr<Slot>> idle;
  // Bumped by CloseIdle and at a fork: leases of an older generation close
  // their connection when they come back.
  uint64_t generation = 0;
  // Leases older than this were inherited through a fork: their
  // connections are abandoned, not closed.
  uint64_t forgotten_generation = 0;
  // The abandoned connections, kept only so that they stay reachable (a
  // leak checker in the child then tells them from real leaks).
  std::vector<Connection*> abandoned;
};

namespace {

// A child process must not use or close the connections it inherited
// (their locks and file positions belong to the parent), so at a fork the
// child forgets them: they are left open and never touched again.
Pool* forking_pool = nullptr;

// Keeps an inherited connection reachable and never closes it. Without
// memory for the list it is simply dropped, as it would be anyway.
void Abandon(std::vector<Connection*>& abandoned, Connection* connection) noexcept {
  try {
    abandoned.push_back(connection);
  } catch (...) {
  }
}

}  // namespace

Pool& Pool::Instance() {
  // Never destroyed: leases may end during static destruction.
  static Pool* const pool = [] {
    Pool* created = new Pool(&OpenConnection);
    forking_pool = created;
    pthread_atfork([] { forking_pool->shared_->mutex.lock(); },
                   [] { forking_pool->shared_->mutex.unlock(); },
                   [] { forking_pool->ForgetAfterFork(); });
    return created;
  }();
  return *pool;
}

void Pool::ForgetAfterFork() {
  // Runs in the child with the mutex taken before the fork.
  ++shared_->generation;
  for (auto& [text, slot] : shared_->idle) {
    for (auto& connection : slot->connections) {
      Abandon(shared_->abandoned, connection.release());  // left open on purpose
    }
    slot->connections.clear();
  }
  shared_->forgotten_generation = shared_->generation;
  shared_->mutex.unlock();
}

Pool::Pool(Opener opener) : opener_(std::move(opener)), shared_(std::make_unique<Shared>()) {}

Pool::~Pool() = default;

Status Pool::Acquire(const std::string& connection_string, bool fresh, Lease* lease) {
  lease->Release();
  Slot* key = nullptr;
  uint64_t generation = 0;
  std::vector<std::unique_ptr<Connection>> dead;  // closed outside the lock
  for (;;) {
    std::unique_ptr<Connection> candidate;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      auto& slot = shared_->idle[connection_string];
      if (!slot) {
        slot = std::make_unique<Slot>();
        slot->backs_off = ResolveConnectionString(connection_string, {}).kind !=
                          ConnectionTarget::Kind::kSqlite;
      }
      key = slot.get();
      generation = shared_->generation;
      if (!fresh && !slot->connections.empty()) {
        candidate = std::move(slot->connections.back());
        slot->connections.pop_back();
      } else if (slot->backs_off && slot->back_off.Waiting(std::chrono::steady_clock::now())) {
        return slot->last_failure;
      }
    }
    if (!candidate) break;
    if (candidate->IsAlive()) {
      dead.clear();
      *lease = Lease(this, key, std::move(candidate), generation);
      return Status::OK();
    }
    dead.push_back(std::move(candidate));
  }
  dead.clear();
  std::unique_ptr<Connection> connection;
  Status status = opener_(connection_string, &connection);
  if (status.ok() && !connection) status = Status::Link(u"no connection was opened");
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!connection) {
      key->back_off.Failed(std::chrono::steady_clock::now());
      key->last_failure = status;
    } else {
      key->back_off.Succeeded();
    }
  }
  if (connection) *lease = Lease(this, key, std::move(connection), generation);
  return status;
}

void Pool::Return(Slot* slot, std::unique_ptr<Connection> connection, uint64_t generation) {
  const auto keepable = [&] {
    return generation == shared_->generation && slot->connections.size() < kMaxIdlePerString;
  };
  bool keep;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (generation < shared_->forgotten_generation) {
      Abandon(shared_->abandoned, connection.release());  // the parent's: left open
      return;
    }
    keep = keepable();
  }
  // Looked at outside the lock: it reads the file's status.
  if (keep && !connection->Superseded()) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (keepable()) {
      slot->connections.push_back(std::move(connection));
      return;
    }
  }
  connection.reset();
}

void Pool::CloseIdle() {
  std::vector<std::unique_ptr<Connection>> closing;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    ++shared_->generation;
    for (auto& [text, slot] : shared_->idle) {
      for (auto& connection : slot->connections) closing.push_back(std::move(connection));
      slot->connections.clear();
    }
  }
  closing.clear();
}

size_t Pool::IdleCount(const std::string& connection_string) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto found = shared_->idle.find(connection_string);
  return found == shared_->idle.end() ? 0 : found->second->connections.size();
}

Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      slot_(std::exchange(other.slot_, nullptr)),
      connection_(std::move(other.connection_)),
      generation_(other.generation_),
      broken_(other.broken_) {}

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = std::exchange(other.pool_, nullptr);
    slot_ = std::exchange(other.slot_, nullptr);
    connection_ = std::move(other.connection_);
    generation_ = other.generation_;
    broken_ = other.broken_;
  }
  return *this;
}

Lease::~Lease() { Release(); }

void Lease::Release() {
  if (!connection_) return;
  std::unique_ptr<Connection> connection = std::move(connection_);
  if (broken_ || pool_ == nullptr) {
    connection.reset();
  } else {
    pool_->Return(slot_, std::move(connection), generation_);
  }
  pool_ = nullptr;
  slot_ = nullptr;
  broken_ = false;
}

}  // namespace zelvar::db
