// The web console's signed-in sessions and its limit on failed logins.
//
// A session is a random token in a cookie; each has its own CSRF token,
// which every write must send back in a header. Both tables are held in
// memory only: restarting the console signs everybody out. Thread-safe.
#ifndef ZELVAR_TOOLS_ZELVAR_CONSOLE_WEB_SESSIONS_H_
#define ZELVAR_TOOLS_ZELVAR_CONSOLE_WEB_SESSIONS_H_

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tools/zelvar/console/logins.h"

namespace zelvar::console {

using Clock = std::chrono::steady_clock;

struct WebSession {
  std::string token;   // the cookie's value
  std::string csrf;    // sent back in X-CSRF-Token on writes
  std::string login;   // the login's name
  Role role = Role::kViewer;
  Clock::time_point expires;
  std::string expires_text;  // local time with offset, for the answer
};

class SessionTable {
 public:
  explicit SessionTable(std::chrono::seconds lifetime) : lifetime_(lifetime) {}

  std::chrono::seconds lifetime() const { return lifetime_; }
  WebSession Start(const std::string& login, Role role);
  // The session of `token` while it lasts; an ended one is dropped.
  std::optional<WebSession> Find(const std::string& token);
  void End(const std::string& token);
  // Ends every session of `login` (removed, or its role changed).
  void EndLogin(const std::string& login);

 private:
  const std::chrono::seconds lifetime_;
  std::mutex mutex_;
  std::map<std::string, WebSession> sessions_;
};

// Counts failed logins per key (a login's name, a client's address) in a
// sliding window; a key with `limit` failures in the window is refused
// until the oldest of them leaves it.
class LoginLimiter {
 public:
  LoginLimiter(int limit, std::chrono::seconds window) : limit_(limit), window_(window) {}

  // Seconds until `key` may try again; 0 when it may now.
  int64_t WaitSeconds(const std::string& key);
  void Failed(const std::string& key);
  void Succeeded(const std::string& key);

 private:
  void Prune(std::deque<Clock::time_point>* failures, Clock::time_point now) const;

  const int limit_;
  const std::chrono::seconds window_;
  std::mutex mutex_;
  std::map<std::string, std::deque<Clock::time_point>> failures_;
};

// Whether two tokens are equal, in a time that does not tell how much of
// them matched.
bool SameToken(const std::string& a, const std::string& b);

}  // namespace zelvar::console

#endif  // ZELVAR_TOOLS_ZELVAR_CONSOLE_WEB_SESSIONS_H_
