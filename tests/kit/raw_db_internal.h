// What the two sides of the raw client share. Not for its users.
#ifndef ZELVAR_TESTS_KIT_RAW_DB_INTERNAL_H_
#define ZELVAR_TESTS_KIT_RAW_DB_INTERNAL_H_

#include <string>

namespace zelvar::kit {

// Cuts fractions and a "T" off a date-time text, as the module reads them.
std::string DateTimeShape(std::string text);

}  // namespace zelvar::kit

#endif  // ZELVAR_TESTS_KIT_RAW_DB_INTERNAL_H_
