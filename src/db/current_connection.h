// The module-wide connection string: the built-in one until OpenDBFriend
// puts another in force. It may be replaced while requests run; readers
// always see a whole value.
//
// Thread-safe.
#ifndef ZELVAR_DB_CURRENT_CONNECTION_H_
#define ZELVAR_DB_CURRENT_CONNECTION_H_

#include <memory>
#include <string>

namespace zelvar {

// The built-in connection string, in force until OpenDBFriend succeeds.
extern const char kBuiltInConnectionString[];

// The connection string in force (UTF-8). The returned reference keeps the
// text alive however often it is replaced meanwhile.
std::shared_ptr<const std::string> CurrentConnectionString();
void SetConnectionString(std::string connection_string);

}  // namespace zelvar

#endif  // ZELVAR_DB_CURRENT_CONNECTION_H_
