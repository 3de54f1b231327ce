// PostgreSQL test databases: they live in the kit (kit/schema.h); these
// names stay for the programs that use them under zelvar::test.
#ifndef ZELVAR_TESTS_SUPPORT_POSTGRES_H_
#define ZELVAR_TESTS_SUPPORT_POSTGRES_H_

#include "kit/schema.h"

namespace zelvar::test {

using kit::CreatePostgresDatabase;
using kit::DirectPostgresString;
using kit::DropPostgresDatabase;
using kit::PostgresAvailable;

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_SUPPORT_POSTGRES_H_
