#include "tools/zelvar/console/web_sessions.h"

#include <ctime>

#include <sodium.h>

#include "tools/zelvar/ops/audit.h"

namespace zelvar::console {
namespace {

// 32 random bytes as 64 hexadecimal digits.
std::string RandomToken() {
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  char hex[sizeof bytes * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

}  // namespace

bool SameToken(const std::string& a, const std::string& b) {
  return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

WebSession SessionTable::Start(const std::string& login, Role role) {
  WebSession session;
  session.token = RandomToken();
  session.csrf = RandomToken();
  session.login = login;
  session.role = role;
  session.expires = Clock::now() + lifetime_;
  session.expires_text = ops::IsoLocalTime(static_cast<int64_t>(std::time(nullptr)) + lifetime_.count());
  std::lock_guard<std::mutex> lock(mutex_);
  // Sessions that ended without a logout go when new ones start.
  const Clock::time_point now = Clock::now();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.expires <= now ? sessions_.erase(it) : std::next(it);
  }
  sessions_[session.token] = session;
  return session;
}

std::optional<WebSession> SessionTable::Find(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return std::nullopt;
  if (it->second.expires <= Clock::now()) {
    sessions_.erase(it);
    return std::nullopt;
  }
  return it->second;
}

void SessionTable::End(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(token);
}

void SessionTable::EndLogin(const std::string& login) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.login == login ? sessions_.erase(it) : std::next(it);
  }
}

void LoginLimiter::Prune(std::deque<Clock::time_point>* failures, Clock::time_point now) const {
  while (!failures->empty() && failures->front() + window_ <= now) failures->pop_front();
}

int64_t LoginLimiter::WaitSeconds(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = failures_.find(key);
  if (it == failures_.end()) return 0;
  const Clock::time_point now = Clock::now();
  Prune(&it->second, now);
  if (static_cast<int>(it->second.size()) < limit_) return 0;
  const auto wait = std::chrono::ceil<std::chrono::seconds>(it->second.front() + window_ - now);
  return std::max<int64_t>(1, wait.count());
}

void LoginLimiter::Failed(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<Clock::time_point>& failures = failures_[key];
  const Clock::time_point now = Clock::now();
  Prune(&failures, now);
  failures.push_back(now);
  // Old keys go so that a stream of made-up names can't fill the memory.
  if (failures_.size() > 100000) {
    for (auto it = failures_.begin(); it != failures_.end();) {
      Prune(&it->second, now);
      it = it->second.empty() ? failures_.erase(it) : std::next(it);
    }
  }
}

void LoginLimiter::Succeeded(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.erase(key);
}

}  // namespace zelvar::console
