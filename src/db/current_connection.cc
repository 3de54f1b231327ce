// The connection string in force (current_connection.h).
#include "db/current_connection.h"

#include <mutex>

namespace zelvar {

const char kBuiltInConnectionString[] =
    "Provider=sqloledb;Data Source=127.0.0.1;Initial Catalog=Brontal;User Id=Tavmorin;"
    "Password=qoxerafindu;";

namespace {

// Readers copy the shared pointer under the mutex and use the text without
// it, so a replacement never waits for a statement and never frees a text
// a statement still reads.
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

ConnectionStringHolder holder;

}  // namespace

std::shared_ptr<const std::string> CurrentConnectionString() { return holder.Get(); }

void SetConnectionString(std::string connection_string) {
  holder.Set(std::move(connection_string));
}

}  // namespace zelvar
