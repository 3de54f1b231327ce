// Module-wide state. The objects here are built when the library is loaded,
// the connection string first, and torn down in reverse at unload.

#include "shell/module_state.h"

#include <atomic>
#include <mutex>

#include "db/runner.h"

namespace zelvar {

const char kBuiltInConnectionString[] =
    "Provider=sqloledb;Data Source=127.0.0.1;Initial Catalog=Brontal;User Id=Tavmorin;"
    "Password=qoxerafindu;";

namespace {

// The connection string in force. Readers copy the shared pointer under the
// mutex and use the text without it, so a replacement never waits for a
// statement and never frees a text a statement still reads.
class ConnectionStringHolder {
 public:
  ConnectionStringHolder()
      : current_(std::make_shared<const std::string>(kBuiltInConnectionString)) {}

  std::shared_ptr<const std::string> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
  }

  void Set(std::string text) {
    auto replacement = std::make_shared<const std::string>(std::move(text));
    std::lock_guard<std::mutex> lock(mutex_);
    current_.swap(replacement);
    // The previous text loses this reference here or when its last
    // reader lets it go.
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const std::string> current_;
};

// The module's own object: at unload it closes the idle pooled
// connections, so that SQLite checkpoints its journal and server sessions
// end cleanly. Built after the connection string, so torn down before it.
class ZelvarModule {
 public:
  ~ZelvarModule() { db::CloseIdleConnections(); }
};

ConnectionStringHolder connection_string_holder;
std::atomic<intptr_t> logger_handle{0};
ZelvarModule module;

}  // namespace

std::shared_ptr<const std::string> CurrentConnectionString() {
  return connection_string_holder.Get();
}

void SetConnectionString(std::string connection_string) {
  connection_string_holder.Set(std::move(connection_string));
}

CTool* CurrentLogger() {
  return reinterpret_cast<CTool*>(logger_handle.load(std::memory_order_acquire));
}

void SetLogger(intptr_t tool) { logger_handle.store(tool, std::memory_order_release); }

}  // namespace zelvar
