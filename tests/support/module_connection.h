// The module's side of a test database: putting its connection string in
// force and letting the module's pooled connections go. The one place
// where the test support reaches into the module; everything the tests
// read and write on their own goes through the kit (kit/raw_db.h).
#ifndef ZELVAR_TESTS_SUPPORT_MODULE_CONNECTION_H_
#define ZELVAR_TESTS_SUPPORT_MODULE_CONNECTION_H_

#include <string>

namespace zelvar::test {

// Opens a test connection with `connection_string`, which then becomes the
// module-wide string (as OpenDBFriend does). 0 or -1.
int UseModuleConnection(const std::string& connection_string);

// Closes the module's idle pooled connections (leased ones when they come
// back), which would keep a database or its file in use, and puts the
// built-in string back if `connection_string` is the one in force.
void ReleaseModuleConnections(const std::string& connection_string);

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_SUPPORT_MODULE_CONNECTION_H_
