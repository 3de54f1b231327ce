// Choosing the server of a list for a new connection (failover.h).

#include "db/failover.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "db/back_off.h"
#include "db/backend.h"
#include "db/deadline.h"

namespace zelvar::db {
namespace {

// A server that failed many times in a row is tried first again at least
// this often, so that a server back from an outage gets its share of new
// connections soon; meanwhile it costs a request a connect timeout at most
// once per pause.
constexpr auto kMaxServerBackOff = std::chrono::seconds(30);

class ServerHealth {
 public:
  static ServerHealth& Instance() {
    // Never destroyed: connections may fail during static destruction.
    static ServerHealth* const health = new ServerHealth;
    return *health;
  }

  // `servers` in the order to try them: those not backing off as listed,
  // then the others, the one whose pause ends first first.
  std::vector<const std::string*> Order(const std::vector<std::string>& servers) {
    const Clock::time_point now = Clock::now();
    std::vector<const std::string*> ready;
    std::vector<std::pair<Clock::time_point, const std::string*>> waiting;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& server : servers) {
      ConnectBackOff& back_off = Entry(server);
      back_off.Forget(now);
      if (back_off.Waiting(now)) {
        waiting.emplace_back(back_off.retry_at(), &server);
      } else {
        ready.push_back(&server);
      }
    }
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [at, server] : waiting) ready.push_back(server);
    return ready;
  }

  // A connect to `server`, or a statement on a connection to it, failed
  // because of the server. Only servers of a list are known.
  void Failed(const std::string& server) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = servers_.find(server);
    if (found != servers_.end()) found->second.Failed(Clock::now());
  }

 private:
  ConnectBackOff& Entry(const std::string& server) {
    return servers_.try_emplace(server, kMaxServerBackOff).first->second;
  }

  std::mutex mutex_;
  std::unordered_map<std::string, ConnectBackOff> servers_;
};

}  // namespace

Status OpenFirstAnswering(const std::vector<std::string>& servers, const ServerOpener& open,
                          std::unique_ptr<Connection>* connection) {
  ServerHealth& health = ServerHealth::Instance();
  std::u16string failures;
  bool first = true;
  for (const std::string* server : health.Order(servers)) {
    if (!first && DeadlinePassed()) break;
    first = false;
    std::unique_ptr<Connection> opened;
    Status status = open(*server, &opened);
    if (status.ok() && opened) {
      *connection = std::move(opened);
      return status;
    }
    health.Failed(*server);
    if (!failures.empty()) failures += u"\n";
    failures += status.text();
  }
  return Status::Link(failures.empty() ? u"no server of the list answered" : failures);
}

void NoteNotServing(const std::string& server_string) {
  ServerHealth::Instance().Failed(server_string);
}

void PauseBeforeServingAgain(int retry) {
  if (retry <= 0) return;
  const auto pause = std::min<Clock::duration>(
      std::chrono::milliseconds(50) * (1 << std::min(retry - 1, 5)), std::chrono::seconds(1));
  std::this_thread::sleep_for(std::min(pause, TimeLeft()));
}

}  // namespace zelvar::db
