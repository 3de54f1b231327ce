// Module-wide state of the shell: the logger handle and the module's own
// object. The connection string in force belongs to the database layer
// (db/current_connection.h), built when the library loads, before these.

#include "shell/module_state.h"

#include <atomic>

#include "db/runner.h"

namespace zelvar {

namespace {

// The module's own object: at unload it closes the idle pooled
// connections, so that SQLite checkpoints its journal and server sessions
// end cleanly. Built after the connection string, so torn down before it.
class ZelvarModule {
 public:
  ~ZelvarModule() { db::CloseIdleConnections(); }
};

std::atomic<intptr_t> logger_handle{0};
ZelvarModule module;

}  // namespace

CTool* CurrentLogger() {
  return reinterpret_cast<CTool*>(logger_handle.load(std::memory_order_acquire));
}

void SetLogger(intptr_t tool) { logger_handle.store(tool, std::memory_order_release); }

}  // namespace zelvar
