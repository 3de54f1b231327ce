#include "tools/zelvar/console/logins.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>
#include <sodium.h>

#include "tools/zelvar/ops/audit.h"
#include "tools/zelvar/session.h"

namespace zelvar::console {
namespace {

using json = nlohmann::ordered_json;

// The costs of crypto_pwhash_str: Argon2id at libsodium's interactive
// level, about 0.1 s and 64 MiB a hash.
constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;

bool SodiumReady(std::string* error) {
  if (sodium_init() < 0) {
    *error = "libsodium could not be initialised";
    return false;
  }
  return true;
}

bool HashPassword(const std::string& password, std::string* hash, std::string* error) {
  if (!SodiumReady(error)) return false;
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), kOpsLimit, kMemLimit) != 0) {
    *error = "the password could not be hashed (out of memory)";
    return false;
  }
  *hash = out;
  return true;
}

bool PasswordMatches(const std::string& hash, const std::string& password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

// A hash of a password nobody has, checked for names that are no login so
// that such names take as long to refuse as wrong passwords.
const std::string& DecoyHash() {
  static const std::string hash = [] {
    std::string out, error;
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    HashPassword(std::string(reinterpret_cast<char*>(random), sizeof random), &out, &error);
    return out;
  }();
  return hash;
}

}  // namespace

const char* RoleName(Role role) {
  switch (role) {
    case Role::kViewer: return "viewer";
    case Role::kSupport: return "support";
    case Role::kAdmin: return "admin";
  }
  return "viewer";
}

std::optional<Role> ParseRole(const std::string& text) {
  for (Role role : {Role::kViewer, Role::kSupport, Role::kAdmin}) {
    if (text == RoleName(role)) return role;
  }
  return std::nullopt;
}

std::string CheckLoginName(const std::string& name) {
  if (name.empty() || name.size() > 64) return "a login's name takes 1 to 64 characters";
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return "a login's name takes only letters A-Z a-z, digits and . _ -";
  }
  return "";
}

std::string CheckPassword(const std::string& password) {
  if (password.size() < 8) return "a password takes at least 8 characters";
  if (password.size() > 256) return "a password takes at most 256 bytes";
  return "";
}

std::string DefaultLoginsPath(std::string* error) {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/zelvar/console-users.json";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    *error = "there is no home folder for the console's logins; name a file with --users FILE";
    return "";
  }
  return std::string(home) + "/.local/state/zelvar/console-users.json";
}

LoginChangeFailure AuditedLoginChange(const std::string& audit_file, const std::string& operator_name,
                                      const std::string& users_file, const std::string& command,
                                      const nlohmann::ordered_json& args,
                                      const std::function<bool(std::string*)>& change, std::string* error) {
  std::unique_ptr<ops::AuditTrail> trail = ops::AuditTrail::Open(audit_file, error);
  if (trail == nullptr) return LoginChangeFailure::kNotAudited;
  const bool done = change(error);
  ops::AuditRecord record;
  record.operator_name = operator_name;
  record.command = command;
  record.args = args;
  record.outcome = done ? "done" : "failed";
  record.rows_changed = done ? 1 : 0;
  record.database = users_file;
  std::string audit_error;
  if (!trail->Append(std::move(record), &audit_error)) cli::Warn(audit_error);
  return done ? LoginChangeFailure::kNone : LoginChangeFailure::kNotMade;
}

bool LoginStore::Refresh(std::string* error) {
  struct stat info {};
  if (stat(path_.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      *error = "cannot read the logins file '" + path_ + "': " + std::strerror(errno);
      return false;
    }
    logins_.clear();
    loaded_ = true;
    loaded_size_ = -1;
    return true;
  }
  if (loaded_ && info.st_mtim.tv_sec == loaded_mtime_.tv_sec && info.st_mtim.tv_nsec == loaded_mtime_.tv_nsec &&
      info.st_size == loaded_size_) {
    return true;
  }
  std::ifstream in(path_);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const json parsed = json::parse(text, nullptr, false);
  if (!in.good() && !in.eof()) {
    *error = "cannot read the logins file '" + path_ + "'";
    return false;
  }
  if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("logins") || !parsed["logins"].is_array()) {
    *error = "the logins file '" + path_ + "' is not one this console wrote";
    return false;
  }
  std::map<std::string, Login> logins;
  for (const json& item : parsed["logins"]) {
    const auto role = item.is_object() && item.value("role", json()).is_string()
                          ? ParseRole(item["role"].get<std::string>()) : std::nullopt;
    if (!role || !item.value("name", json()).is_string() || !item.value("hash", json()).is_string()) {
      *error = "the logins file '" + path_ + "' holds a login without a name, role or hash";
      return false;
    }
    Login login{item["name"].get<std::string>(), *role, item["hash"].get<std::string>()};
    logins[login.name] = login;
  }
  logins_ = std::move(logins);
  loaded_ = true;
  loaded_mtime_ = info.st_mtim;
  loaded_size_ = info.st_size;
  return true;
}

bool LoginStore::Save(const std::map<std::string, Login>& logins, std::string* error) {
  json list = json::array();
  for (const auto& [name, login] : logins) {
    list.push_back({{"name", login.name}, {"role", RoleName(login.role)}, {"hash", login.hash}});
  }
  const std::string text = json{{"logins", list}}.dump(2) + "\n";
  const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  // Written beside the file and renamed over it: a reader sees the old
  // file or the new one, never half of one.
  const std::string temporary = path_ + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (ok) ok = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
               fsync(fd) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok) ok = rename(temporary.c_str(), path_.c_str()) == 0;
  if (!ok) {
    *error = "cannot write the logins file '" + path_ + "': " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  loaded_ = false;  // read back on next use, with its new time
  return true;
}

std::optional<Login> LoginStore::Check(const std::string& name, const std::string& password) {
  std::optional<Login> login = Find(name);
  std::string error;
  if (!SodiumReady(&error)) return std::nullopt;
  // The hash is checked without the lock: it takes a tenth of a second.
  if (!login) {
    PasswordMatches(DecoyHash(), password);
    return std::nullopt;
  }
  if (!PasswordMatches(login->hash, password)) return std::nullopt;
  return login;
}

std::optional<Login> LoginStore::Find(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error;
  if (!Refresh(&error)) return std::nullopt;
  const auto it = logins_.find(name);
  if (it == logins_.end()) return std::nullopt;
  return it->second;
}

bool LoginStore::List(std::vector<Login>* logins, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Refresh(error)) return false;
  for (const auto& [name, login] : logins_) logins->push_back(login);
  return true;
}

bool LoginStore::Add(const std::string& name, Role role, const std::string& password, std::string* error) {
  if (std::string why = CheckLoginName(name); !why.empty()) {
    *error = why;
    return false;
  }
  if (std::string why = CheckPassword(password); !why.empty()) {
    *error = why;
    return false;
  }
  std::string hash;
  if (!HashPassword(password, &hash, error)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Refresh(error)) return false;
  std::map<std::string, Login> logins = logins_;
  logins[name] = Login{name, role, hash};
  return Save(logins, error);
}

bool LoginStore::Remove(const std::string& name, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Refresh(error)) return false;
  std::map<std::string, Login> logins = logins_;
  if (logins.erase(name) == 0) {
    *error = "there is no login '" + name + "'";
    return false;
  }
  return Save(logins, error);
}

}  // namespace zelvar::console
