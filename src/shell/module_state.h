// Module-wide state: the connection string in force and the host's logger
// handle. Both may be replaced while requests run; readers always see a
// whole value.
#ifndef ZELVAR_SHELL_MODULE_STATE_H_
#define ZELVAR_SHELL_MODULE_STATE_H_

#include <cstdint>
#include <memory>
#include <string>

class CTool;

namespace zelvar {

// The built-in connection string, in force until OpenDBFriend succeeds.
extern const char kBuiltInConnectionString[];

// The connection string in force (UTF-8). The returned reference keeps the
// text alive however often it is replaced meanwhile.
std::shared_ptr<const std::string> CurrentConnectionString();
void SetConnectionString(std::string connection_string);

// The logger stored by OpenLog; null until then.
CTool* CurrentLogger();
void SetLogger(intptr_t tool);

}  // namespace zelvar

#endif  // ZELVAR_SHELL_MODULE_STATE_H_
