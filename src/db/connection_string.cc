// Connection strings: splitting keyword=value lists and deciding which
// backend a string names (see connection_string.h). Pure functions apart
// from the one call that asks the ODBC driver manager for its drivers;
// thread-safe.
#include "db/connection_string.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "db/odbc_env.h"
#include "db/server_list.h"

namespace zelvar::db {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The value of the last pair whose keyword is one of `keywords` (a later
// pair overrides an earlier one, as the driver managers read them).
std::optional<std::string> Find(const Pairs& pairs, std::initializer_list<std::string_view> keywords) {
  std::optional<std::string> found;
  for (const auto& [keyword, value] : pairs) {
    for (std::string_view k : keywords) {
      if (EqualsIgnoreCase(keyword, k)) found = value;
    }
  }
  return found;
}

bool IsSqlServerProvider(std::string_view provider) {
  static constexpr std::array<std::string_view, 5> kProviders = {
      "sqloledb", "sqloledb.1", "msoledbsql", "sqlncli", "sqlncli11"};
  std::string lower = Lower(Trim(provider));
  return std::find(kProviders.begin(), kProviders.end(), lower) != kProviders.end();
}

// An ODBC value as it must be written: braced (with "}" doubled) when it
// holds a character that would end or confuse a plain value.
std::string OdbcValue(const std::string& value) {
  bool needs_braces = value.empty() ? false
                                    : (IsSpace(value.front()) || IsSpace(value.back()) ||
                                       value.front() == '"' || value.front() == '\'');
  for (char c : value) {
    if (c == ';' || c == '{' || c == '}') needs_braces = true;
  }
  if (!needs_braces) return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

void Append(std::string* odbc, std::string_view keyword, const std::string& value) {
  odbc->append(keyword);
  odbc->push_back('=');
  odbc->append(OdbcValue(value));
  odbc->push_back(';');
}

bool IsTrue(std::string_view value) {
  std::string lower = Lower(Trim(value));
  return lower == "yes" || lower == "true" || lower == "sspi" || lower == "1";
}

// The module's own keywords (connection_string.h).
bool IsModuleKeyword(std::string_view keyword) {
  std::string lower = Lower(Trim(keyword));
  return lower == "connect timeout" || lower == "connection timeout" ||
         lower == "command timeout" || lower == "named statements" || lower == "failover";
}

// Reads the module's own keywords. False with `why` filled for a value
// that is not a whole number of seconds (or a yes/no).
bool ReadOptions(const Pairs& pairs, ConnectionOptions* options, std::string* why) {
  const auto seconds = [&](std::initializer_list<std::string_view> keywords,
                           std::chrono::milliseconds* out) {
    auto value = Find(pairs, keywords);
    if (!value) return true;
    std::string_view text = Trim(*value);
    long long number = 0;
    if (text.empty() || text.size() > 7) number = -1;
    for (char c : text) {
      if (c < '0' || c > '9') number = -1;
      if (number < 0) break;
      number = number * 10 + (c - '0');
    }
    if (number < 0) {
      *why = std::string(*keywords.begin()) + " must be a whole number of seconds, not \"" +
             *value + "\"";
      return false;
    }
    // 0 means no limit, as it does for the OLE DB providers.
    *out = number == 0 ? std::chrono::hours(24 * 365) : std::chrono::seconds(number);
    return true;
  };
  if (!seconds({"Connect Timeout", "Connection Timeout"}, &options->connect_timeout)) return false;
  if (!seconds({"Command Timeout"}, &options->command_timeout)) return false;
  if (auto named = Find(pairs, {"Named Statements"})) options->named_statements = IsTrue(*named);
  return true;
}

// psqlODBC's default sets a savepoint before every statement of a
// transaction but the first, to roll back only a statement that fails: a
// round trip each. A transaction of the module never goes on after a failed
// statement (it is rolled back whole, and run again where that can help),
// so PostgreSQL's driver is told to do nothing on an error (rollback level
// 0), unless the string sets a level of its own.
void AddRollbackLevel(const Pairs& pairs, std::string* odbc) {
  if (!NamesPostgresDriver(Find(pairs, {"Driver"}).value_or("")) || Find(pairs, {"Protocol"})) {
    return;
  }
  std::string_view written = Trim(*odbc);
  if (!written.empty() && written.back() != ';') odbc->push_back(';');
  Append(odbc, "Protocol", "7.4-0");
}

// Whether an ODBC driver name names MariaDB's or MySQL's driver.
bool NamesMySqlDriver(std::string_view driver) {
  const std::string lower = Lower(driver);
  return lower.find("mariadb") != std::string::npos || lower.find("mysql") != std::string::npos;
}

// An ODBC string as written, less the module's own keywords. For MariaDB's
// and MySQL's drivers it also gets, where the string sets none, the time
// bounds (without a read timeout they wait for ever on a server that
// accepted the connection and never answers, even in the handshake), and
// option 2, which counts the rows an UPDATE matched rather than only those
// whose values it changed: an update that writes a value the row already
// holds must still tell that the row is there. PostgreSQL's driver gets its
// rollback level (AddRollbackLevel). With `rebuild` it is written afresh
// from `pairs` even where `text` would do.
std::string OdbcStringFor(const std::string& text, const Pairs& pairs,
                          const ConnectionOptions& options, bool rebuild) {
  const bool my_sql = NamesMySqlDriver(Find(pairs, {"Driver"}).value_or(""));
  constexpr unsigned long kFoundRows = 2;
  bool rewrite = rebuild;
  for (const auto& [keyword, value] : pairs) {
    const std::string lower = Lower(Trim(keyword));
    if (IsModuleKeyword(keyword)) rewrite = true;
    if (my_sql && (lower == "option" || lower == "options")) rewrite = true;
  }
  std::string odbc;
  if (!my_sql && !rewrite) {
    odbc = text;
    AddRollbackLevel(pairs, &odbc);
    return odbc;
  }

  bool has_option = false;
  for (const auto& [keyword, value] : pairs) {
    if (IsModuleKeyword(keyword)) continue;
    const std::string lower = Lower(Trim(keyword));
    if (my_sql && (lower == "option" || lower == "options")) {
      char* end = nullptr;
      const unsigned long flags = std::strtoul(value.c_str(), &end, 10);
      if (end != value.c_str() && *end == '\0') {
        Append(&odbc, Trim(keyword), std::to_string(flags | kFoundRows));
        has_option = true;
        continue;
      }
    }
    Append(&odbc, Trim(keyword), value);
  }
  if (!my_sql) {
    AddRollbackLevel(pairs, &odbc);
    return odbc;
  }
  if (!has_option) Append(&odbc, "OPTION", std::to_string(kFoundRows));
  const auto whole_seconds = [](std::chrono::milliseconds span) {
    return std::to_string(std::max<long long>(1, (span.count() + 999) / 1000));
  };
  if (!Find(pairs, {"CONN_TIMEOUT"})) {
    Append(&odbc, "CONN_TIMEOUT", whole_seconds(options.connect_timeout));
  }
  // A read may last as long as a request may.
  const std::string io = whole_seconds(std::max(options.connect_timeout, options.command_timeout));
  if (!Find(pairs, {"READ_TIMEOUT"})) Append(&odbc, "READ_TIMEOUT", io);
  if (!Find(pairs, {"WRITE_TIMEOUT"})) Append(&odbc, "WRITE_TIMEOUT", io);
  return odbc;
}

bool CanListServers(const Pairs& pairs) {
  const std::string driver = Find(pairs, {"Driver"}).value_or("");
  return NamesMySqlDriver(driver) || NamesPostgresDriver(driver);
}

// The strings of the servers a string names when it names several
// (Server=a,b or Failover=...) or one as host:port, one server each; none
// when it names one server without a port. False with `why` for a list that can't be read, or one on a string of a
// driver other than MariaDB's, MySQL's or PostgreSQL's (for SQL Server,
// "host,port" names one server and its port).
bool ServerStrings(const Pairs& pairs, const ConnectionOptions& options,
                   std::vector<std::string>* strings, std::string* why) {
  const auto server = Find(pairs, {"Server", "Servername"});
  const auto failover = Find(pairs, {"Failover"});
  if (failover && !CanListServers(pairs)) {
    *why = "Failover= works with MariaDB's, MySQL's and PostgreSQL's drivers (named by Driver=)";
    return false;
  }
  if (!failover && !(CanListServers(pairs) && server && server->find_first_of(",:") != std::string::npos)) {
    return true;
  }
  if (!server || Trim(*server).empty()) {
    *why = "Failover= lists the servers after the one Server= names, and Server= is missing";
    return false;
  }
  std::vector<ServerAddress> addresses;
  const std::string port = Find(pairs, {"Port"}).value_or("");
  if (!ParseServerList(*server, port, &addresses, why)) return false;
  if (failover && !ParseServerList(*failover, port, &addresses, why)) return false;
  Pairs one;
  for (const auto& pair : pairs) {
    const std::string lower = Lower(Trim(pair.first));
    if (lower != "server" && lower != "servername" && lower != "port") one.push_back(pair);
  }
  for (const ServerAddress& address : addresses) {
    Pairs with_server = one;
    with_server.emplace_back("Server", address.host);
    if (!address.port.empty()) with_server.emplace_back("Port", address.port);
    strings->push_back(OdbcStringFor(std::string(), with_server, options, /*rebuild=*/true));
  }
  return true;
}

ConnectionTarget Invalid(std::string why) {
  ConnectionTarget target;
  target.kind = ConnectionTarget::Kind::kInvalid;
  target.error = std::move(why);
  return target;
}

// OLE DB keywords that the translation writes in their ODBC form, or that
// have no ODBC counterpart; every other keyword goes through as written.
bool IsTranslatedOrDropped(std::string_view keyword) {
  static constexpr std::array<std::string_view, 25> kKeywords = {
      "provider",          "data source",         "server",
      "address",           "addr",                "network address",
      "initial catalog",   "database",            "user id",
      "uid",               "user",                "password",
      "pwd",               "integrated security", "trusted_connection",
      "application name",  "workstation id",      "use encryption for data",
      "encrypt",           "persist security info", "auto translate",
      "packet size",       "ole db services",     "connect timeout",
      "connection timeout"};
  std::string lower = Lower(Trim(keyword));
  return std::find(kKeywords.begin(), kKeywords.end(), lower) != kKeywords.end();
}

// The installed SQL Server driver to use, by preference; empty when none
// is installed.
std::string SqlServerDriver(const std::vector<std::string>& drivers) {
  static constexpr std::array<std::string_view, 3> kDriverPreference = {
      "ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server", "FreeTDS"};
  for (std::string_view wanted : kDriverPreference) {
    for (const std::string& installed : drivers) {
      if (EqualsIgnoreCase(installed, wanted)) return installed;
    }
  }
  return std::string();
}

// The server the string names, "(local)" and "." as the loopback address
// (they mean this machine's default or named instance; over TCP that is
// the loopback address). Empty when it names none.
std::string SqlServerAddress(const Pairs& pairs) {
  std::string server(
      Trim(Find(pairs, {"Data Source", "Server", "Address", "Addr", "Network Address"}).value_or("")));
  for (std::string_view local : {"(local)", "."}) {
    if (server.size() >= local.size() && EqualsIgnoreCase(server.substr(0, local.size()), local) &&
        (server.size() == local.size() || server[local.size()] == '\\' ||
         server[local.size()] == ',')) {
      return "127.0.0.1" + server.substr(local.size());
    }
  }
  return server;
}

// The login, the names the client gives and the encryption, in their ODBC
// form.
void AppendSqlServerSession(const Pairs& pairs, bool free_tds, std::string* odbc) {
  auto integrated = Find(pairs, {"Integrated Security", "Trusted_Connection"});
  if (integrated && IsTrue(*integrated)) {
    Append(odbc, "Trusted_Connection", "yes");
  } else {
    if (auto uid = Find(pairs, {"User Id", "UID", "User"})) Append(odbc, "UID", *uid);
    if (auto pwd = Find(pairs, {"Password", "PWD"})) Append(odbc, "PWD", *pwd);
  }
  if (auto app = Find(pairs, {"Application Name"})) Append(odbc, "APP", *app);
  if (auto wsid = Find(pairs, {"Workstation ID"})) Append(odbc, "WSID", *wsid);
  auto encrypt = Find(pairs, {"Use Encryption for Data", "Encrypt"});
  if (free_tds) {
    // Texts travel as UTF-8 between FreeTDS and the module, whatever the
    // server's code page.
    if (!Find(pairs, {"ClientCharset"})) Append(odbc, "ClientCharset", "UTF-8");
  } else if (!encrypt) {
    // The OLE DB providers do not encrypt unless asked to; Microsoft's
    // driver 18 insists by default and would refuse every server without
    // a trusted certificate that the host reached before.
    Append(odbc, "Encrypt", "no");
  } else {
    Append(odbc, "Encrypt", IsTrue(*encrypt) ? "yes" : "no");
  }
}

ConnectionTarget TranslateSqlServer(const Pairs& pairs, const std::vector<std::string>& drivers) {
  const std::string driver = SqlServerDriver(drivers);
  if (driver.empty()) {
    return Invalid(
        "no SQL Server ODBC driver is installed (looked for \"ODBC Driver 18 for SQL Server\", "
        "\"ODBC Driver 17 for SQL Server\" and \"FreeTDS\")");
  }
  const bool free_tds = EqualsIgnoreCase(driver, "FreeTDS");
  std::string server = SqlServerAddress(pairs);
  if (server.empty()) return Invalid("the connection string names no server (Data Source)");

  std::string odbc;
  Append(&odbc, "Driver", driver);
  std::string port;
  if (free_tds) {
    // FreeTDS takes the port as a keyword of its own; "host\instance" it
    // resolves itself.
    size_t comma = server.find(',');
    if (comma != std::string::npos) {
      port = std::string(Trim(std::string_view(server).substr(comma + 1)));
      server = std::string(Trim(std::string_view(server).substr(0, comma)));
    }
  }
  Append(&odbc, "Server", server);
  if (!port.empty()) Append(&odbc, "Port", port);
  if (auto database = Find(pairs, {"Initial Catalog", "Database"})) {
    Append(&odbc, "Database", *database);
  }
  AppendSqlServerSession(pairs, free_tds, &odbc);
  for (const auto& [keyword, value] : pairs) {
    if (IsTranslatedOrDropped(keyword) || IsModuleKeyword(keyword)) continue;
    Append(&odbc, Trim(keyword), value);
  }

  ConnectionTarget target;
  target.kind = ConnectionTarget::Kind::kOdbc;
  target.odbc = std::move(odbc);
  return target;
}

}  // namespace

bool NamesPostgresDriver(std::string_view driver) {
  const std::string lower = Lower(driver);
  return lower.find("postgres") != std::string::npos || lower.find("psql") != std::string::npos;
}

bool SplitConnectionString(const std::string& text, Pairs* pairs) {
  pairs->clear();
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    // Keyword: up to "=". An empty segment (";;" or a trailing ";") is
    // allowed and skipped.
    size_t keyword_start = i;
    while (i < n && text[i] != '=' && text[i] != ';') ++i;
    std::string_view keyword = Trim(std::string_view(text).substr(keyword_start, i - keyword_start));
    if (i == n || text[i] == ';') {
      if (!keyword.empty()) return false;  // a word without "="
      if (i < n) ++i;
      continue;
    }
    if (keyword.empty()) return false;
    ++i;  // past "="

    while (i < n && IsSpace(text[i])) ++i;
    std::string value;
    if (i < n && (text[i] == '{' || text[i] == '"' || text[i] == '\'')) {
      const char open = text[i];
      const char close = open == '{' ? '}' : open;
      ++i;
      bool closed = false;
      while (i < n) {
        if (text[i] == close) {
          if (i + 1 < n && text[i + 1] == close) {  // doubled: one literal
            value += close;
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value += text[i++];
      }
      if (!closed) return false;
      while (i < n && IsSpace(text[i])) ++i;
      if (i < n && text[i] != ';') return false;  // text after the closing mark
    } else {
      size_t value_start = i;
      while (i < n && text[i] != ';') ++i;
      value = std::string(Trim(std::string_view(text).substr(value_start, i - value_start)));
    }
    if (i < n) ++i;  // past ";"
    pairs->emplace_back(std::string(keyword), std::move(value));
  }
  return true;
}

ConnectionTarget ResolveConnectionString(const std::string& text,
                                         const std::vector<std::string>& installed_drivers) {
  if (Trim(text).empty()) return Invalid("the connection string is empty");
  Pairs pairs;
  if (!SplitConnectionString(text, &pairs)) {
    return Invalid("the connection string is not a list of keyword=value pairs");
  }
  ConnectionOptions options;
  std::string why;
  if (!ReadOptions(pairs, &options, &why)) return Invalid(std::move(why));
  std::vector<std::string> servers;
  if (!ServerStrings(pairs, options, &servers, &why)) return Invalid(std::move(why));
  if (auto provider = Find(pairs, {"Provider"})) {
    if (EqualsIgnoreCase(Trim(*provider), "SQLite")) {
      std::string path = Find(pairs, {"Data Source"}).value_or("");
      if (path.empty()) return Invalid("the SQLite connection string names no Data Source");
      ConnectionTarget target;
      target.kind = ConnectionTarget::Kind::kSqlite;
      target.sqlite_path = std::move(path);
      target.options = options;
      return target;
    }
    if (IsSqlServerProvider(*provider)) {
      ConnectionTarget target = TranslateSqlServer(pairs, installed_drivers);
      target.options = options;
      return target;
    }
  }
  if (Find(pairs, {"Driver", "DSN"})) {
    ConnectionTarget target;
    target.kind = ConnectionTarget::Kind::kOdbc;
    target.odbc = servers.empty() ? OdbcStringFor(text, pairs, options, /*rebuild=*/false)
                                  : servers.front();
    // One server written host:port needs no choice.
    if (servers.size() > 1) target.servers = std::move(servers);
    target.options = options;
    return target;
  }
  if (auto provider = Find(pairs, {"Provider"})) {
    return Invalid("unknown provider \"" + *provider + "\"");
  }
  return Invalid("the connection string names no Provider, Driver or DSN");
}

ConnectionTarget ResolveConnectionString(const std::string& text) {
  // Only the SQL Server translation needs the driver list; asking the
  // driver manager reads its configuration, so it is left out otherwise.
  Pairs pairs;
  if (SplitConnectionString(text, &pairs)) {
    auto provider = Find(pairs, {"Provider"});
    if (provider && IsSqlServerProvider(*provider)) {
      return ResolveConnectionString(text, InstalledOdbcDrivers());
    }
  }
  return ResolveConnectionString(text, {});
}

}  // namespace zelvar::db
