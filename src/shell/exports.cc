// The module's exported functions that belong to the shell: the logger
// handle, the connection string and the hand-back of reply buffers. The request exports live with
// their handlers.

#include "zelvar/zelvar.h"

#include "db/runner.h"
#include "util/host_log.h"

extern "C" {

int OpenLog(intptr_t tool) {
  zelvar::SetLogger(tool);
  return 0;
}

// The text is taken as UTF-8. It is in force only once a connection with it
// has opened; otherwise the one before stays.
int OpenDBFriend(char** connection) {
  if (connection == nullptr || *connection == nullptr) return -1;
  return zelvar::db::TestAndSetConnectionString(*connection);
}

void MyDeletePtr(char* p) { delete[] p; }

}  // extern "C"
