// The web console's logins: a name, a role and an Argon2id hash of the
// password (libsodium's crypto_pwhash_str, salt and costs inside the hash),
// kept in one JSON file readable by its owner only.
//
// A LoginStore rereads its file when the file changed, so logins added or
// removed with 'zelvar console user' take effect in a running console.
// Thread-safe.
#ifndef ZELVAR_TOOLS_ZELVAR_CONSOLE_LOGINS_H_
#define ZELVAR_TOOLS_ZELVAR_CONSOLE_LOGINS_H_

#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelvar::console {

// viewer reads; support also grants, messages and ends friendships; admin
// also revokes and expires goods and manages the logins.
enum class Role { kViewer = 0, kSupport = 1, kAdmin = 2 };

const char* RoleName(Role role);
std::optional<Role> ParseRole(const std::string& text);

// "" when `name` can be a login's name (1 to 64 of A-Z a-z 0-9 . _ -),
// else why not.
std::string CheckLoginName(const std::string& name);
// "" when `password` can be a password (8 to 256 bytes), else why not.
std::string CheckPassword(const std::string& password);

// ~/.local/state/zelvar/console-users.json (or under $XDG_STATE_HOME);
// empty with `error` set when there is no home folder.
std::string DefaultLoginsPath(std::string* error);

struct Login {
  std::string name;
  Role role = Role::kViewer;
  std::string hash;  // crypto_pwhash_str's text
};

// What went wrong with a change of the logins.
enum class LoginChangeFailure { kNone, kNotAudited, kNotMade };

// Makes `change` to the logins with its line in the audit trail
// `audit_file` (empty: the default), under `operator_name`. The trail is
// opened first: a change that can't be audited is not made. `error` says
// why when the answer is not kNone.
LoginChangeFailure AuditedLoginChange(const std::string& audit_file, const std::string& operator_name,
                                      const std::string& users_file, const std::string& command,
                                      const nlohmann::ordered_json& args,
                                      const std::function<bool(std::string*)>& change, std::string* error);

class LoginStore {
 public:
  explicit LoginStore(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // The login `name` when `password` is its password. Takes about as long
  // for a name that does not exist.
  std::optional<Login> Check(const std::string& name, const std::string& password);
  // The login `name` as the file has it now (a removed login: nullopt).
  std::optional<Login> Find(const std::string& name);
  bool List(std::vector<Login>* logins, std::string* error);

  // Adds `name`, or changes its role and password when it exists. False
  // with `error` set; the file then stays as it was.
  bool Add(const std::string& name, Role role, const std::string& password, std::string* error);
  // False with `error` set when `name` is not a login or the file can't be
  // written.
  bool Remove(const std::string& name, std::string* error);

 private:
  // Rereads the file when it changed since the last read.
  bool Refresh(std::string* error);
  bool Save(const std::map<std::string, Login>& logins, std::string* error);

  const std::string path_;
  std::mutex mutex_;
  std::map<std::string, Login> logins_;
  bool loaded_ = false;
  timespec loaded_mtime_{};
  long long loaded_size_ = -1;
};

}  // namespace zelvar::console

#endif  // ZELVAR_TOOLS_ZELVAR_CONSOLE_LOGINS_H_
