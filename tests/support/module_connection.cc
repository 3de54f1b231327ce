// The module's side of a test database (module_connection.h).
#include "support/module_connection.h"

#include "db/current_connection.h"
#include "db/runner.h"

namespace zelvar::test {

int UseModuleConnection(const std::string& connection_string) {
  return db::TestAndSetConnectionString(connection_string);
}

void ReleaseModuleConnections(const std::string& connection_string) {
  db::CloseIdleConnections();
  if (*CurrentConnectionString() == connection_string) {
    SetConnectionString(kBuiltInConnectionString);
  }
}

}  // namespace zelvar::test
