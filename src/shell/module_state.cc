// The module's own object: at unload it closes the idle pooled
// connections, so that SQLite checkpoints its journal and server sessions
// end cleanly. The connection string in force belongs to the database
// layer (db/current_connection.h), built when the library loads, so it is
// torn down after this object.

#include "db/runner.h"

namespace zelvar {

namespace {

class ZelvarModule {
 public:
  ~ZelvarModule() { db::CloseIdleConnections(); }
};

ZelvarModule module;

}  // namespace

}  // namespace zelvar
