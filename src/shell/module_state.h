// Module-wide state of the shell: the host's logger handle, which may be
// replaced while requests run (readers always see a whole value). The
// connection string in force lives in the database layer
// (db/current_connection.h).
#ifndef ZELVAR_SHELL_MODULE_STATE_H_
#define ZELVAR_SHELL_MODULE_STATE_H_

#include <cstdint>
#include <memory>
#include <string>

class CTool;

namespace zelvar {

// The logger stored by OpenLog; null until then.
CTool* CurrentLogger();
void SetLogger(intptr_t tool);

}  // namespace zelvar

#endif  // ZELVAR_SHELL_MODULE_STATE_H_
