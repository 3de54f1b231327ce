// The shared ODBC environment and the driver list (odbc_env.h).
#include "db/odbc_env.h"

#include <sqlext.h>

#include <mutex>

namespace zelvar::db {

OdbcEnvironment::~OdbcEnvironment() {
  if (handle_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, handle_);
}

std::shared_ptr<OdbcEnvironment> SharedOdbcEnvironment() {
  // Allocated once; a failed allocation is tried again on the next call,
  // since it may come from a driver manager set-up fixed meanwhile.
  static std::mutex mutex;
  static std::shared_ptr<OdbcEnvironment> environment;
  std::lock_guard<std::mutex> lock(mutex);
  if (environment) return environment;
  SQLHENV handle = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle))) return nullptr;
  auto owned = std::make_shared<OdbcEnvironment>(handle);
  if (!SQL_SUCCEEDED(SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3_80), 0))) {
    return nullptr;
  }
  environment = owned;
  return environment;
}

std::vector<std::string> InstalledOdbcDrivers() {
  std::vector<std::string> drivers;
  std::shared_ptr<OdbcEnvironment> environment = SharedOdbcEnvironment();
  if (!environment) return drivers;
  // SQLDrivers walks a cursor kept in the environment; one walk at a time.
  static std::mutex walk_mutex;
  std::lock_guard<std::mutex> lock(walk_mutex);
  SQLCHAR name[512];
  SQLCHAR attributes[2048];
  SQLSMALLINT name_length = 0;
  SQLSMALLINT attributes_length = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    SQLRETURN rc = SQLDrivers(environment->handle(), direction, name, sizeof(name), &name_length,
                              attributes, sizeof(attributes), &attributes_length);
    if (!SQL_SUCCEEDED(rc)) break;
    drivers.emplace_back(reinterpret_cast<const char*>(name));
    direction = SQL_FETCH_NEXT;
  }
  return drivers;
}

}  // namespace zelvar::db
