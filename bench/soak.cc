// soak [REQUESTS [INTERVAL]]: a long run of mixed requests on a seeded
// SQLite world in one process (1,000,000 by default), printing the resident
// memory and the open file descriptors every INTERVAL requests (50,000).
// After a warm-up (the first tenth) memory must stay flat and the
// descriptors constant; the last line says whether they did, and the exit
// status is 1 when not.
//
// The mix is mostly reads, as a game server's is; writes (messages, trades,
// mark-read, goods, invitations) come a few in a hundred, and what they add
// is deleted now and then so the world stays the same size.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::bench {
namespace {

namespace w = world;

long ResidentKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

bool Query(int user, unsigned kind) {
  char* reply = nullptr;
  int length = 0;
  if (GetUserExtraDataFriend(user, kind, &reply, &length) != 0) return false;
  ReadReply(reply, length);
  MyDeletePtr(reply);
  return true;
}

bool Record(int data_id, std::string& request) {
  char* reply = nullptr;
  int length = 0;
  if (GetQueryExtraDataFriendRecord(1, data_id, request.data(), static_cast<int>(request.size()),
                                    &reply, &length) != 0) {
    return false;
  }
  ReadReply(reply, length);
  MyDeletePtr(reply);
  return true;
}

bool Put(int user, int data_id, std::string& request) {
  return PutUserExtraDataFriend(user, data_id, request.data(),
                                static_cast<int>(request.size())) == 0;
}

int Main(int argc, char** argv) {
  const long total = argc > 1 ? std::atol(argv[1]) : 1000000;
  const long interval = argc > 2 ? std::atol(argv[2]) : 50000;
  std::string why;
  World* world = World::Get(Backend::kSqlite, &why);
  if (world == nullptr || !UseWorld(world)) {
    std::fprintf(stderr, "soak: no world: %s\n", why.c_str());
    return 2;
  }

  CKParam lookup;
  lookup.SetCString(100, ToWide(w::UserName(w::kLookedUp)));
  std::string lookup_image = Image(lookup);
  CKParam message;
  message.SetInt(1, 1500);
  message.SetInt(200, w::kRecipient);
  message.SetCString(201, u"soak message");
  std::string message_image = Image(message);
  CKParam trade;
  trade.SetInt(1, 1510);
  trade.SetInt(300, w::kRecipient);
  trade.SetInt(301, 77);
  std::string trade_image = Image(trade);
  CKParam goods;
  goods.SetInt(100, 1);
  goods.SetCString(110, ToWide(w::UserName(w::kReceiver)));
  goods.SetInt(10010, 501);
  goods.SetCString(10020, u"30天");
  goods.SetInt(10030, 100);
  goods.SetInt(10040, 1);
  goods.SetInt(10050, 1);
  std::string goods_image = Image(goods);
  CKParam invitation;
  invitation.SetInt(1, 1550);
  invitation.SetInt(-100, 1);
  invitation.SetCString(101, u"CODE");
  invitation.SetInt(102, 1);
  invitation.SetCString(103, u"a@b.example");
  invitation.SetInt(104, 1);
  invitation.SetCString(105, u"note");
  invitation.SetInt(106, 1);
  invitation.SetInt(107, 0);
  std::string invitation_image = Image(invitation);
  const std::string reset_messages =
      "UPDATE tblUserMsg SET nRead = 0 WHERE nUserId = " + std::to_string(w::kReader);
  const std::string cleanup =
      "DELETE FROM tblUserMsg WHERE nUserId = " + std::to_string(w::kRecipient) +
      "; DELETE FROM tblFriendTradeHistory WHERE nPlayUserId = " + std::to_string(w::kSender) +
      "; DELETE FROM tblInviteRecord";

  std::printf("%10s %10s %10s %12s\n", "requests", "rss_kib", "open_fds", "seconds");
  const auto start = std::chrono::steady_clock::now();
  const long warm_up = total / 10;
  long rss_after_warm_up = -1, rss_max = 0;
  int fds_after_warm_up = -1, fds_min = 1 << 30, fds_max = -1;
  long failures = 0;
  for (long i = 1; i <= total; ++i) {
    bool ok = true;
    switch (i % 100) {
      case 0:
        ok = Put(w::kSender, 0, message_image);
        break;
      case 1:
        ok = Put(w::kSender, 0, trade_image);
        break;
      case 2:
        ok = Query(w::kReader, 1620);
        world->Exec(reset_messages);
        break;
      case 3:
        ok = i % 1000 != 3 || Record(1560, goods_image);
        break;
      case 4:
        ok = i % 1000 != 4 || Put(w::kInviter, 1550, invitation_image);
        break;
      default:
        switch (i % 8) {
          case 0:
          case 1:
          case 2:
            ok = Record(1660, lookup_image);
            break;
          case 3:
          case 4:
            ok = Query(w::FriendPlayer(10), 1610);
            break;
          case 5:
            ok = Query(w::TradePlayer(5), 1605);
            break;
          case 6:
            ok = Query(1, 1615);
            break;
          default:
            ok = Query(w::FriendPlayer(1), 1610);
            break;
        }
    }
    if (!ok) ++failures;
    if (i % 20000 == 0) world->Exec(cleanup);
    if (i % interval == 0 || i == total) {
      const long rss = ResidentKiB();
      const int fds = OpenDescriptors();
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("%10ld %10ld %10d %12.1f\n", i, rss, fds, seconds);
      std::fflush(stdout);
      if (i >= warm_up) {
        if (rss_after_warm_up < 0) {
          rss_after_warm_up = rss;
          fds_after_warm_up = fds;
        }
        rss_max = std::max(rss_max, rss);
        fds_min = std::min(fds_min, fds);
        fds_max = std::max(fds_max, fds);
      }
    }
  }
  world->Exec(cleanup);
  // Flat: no more than 2 MiB, or 5 per cent, above the level after warm-up.
  const long allowed = std::max(2048L, rss_after_warm_up / 20);
  const bool flat = rss_max - rss_after_warm_up <= allowed;
  const bool constant = fds_min == fds_max && fds_min == fds_after_warm_up;
  std::printf("after warm-up: rss %ld to %ld KiB (%s), open fds %d to %d (%s), %ld failed requests\n",
              rss_after_warm_up, rss_max, flat ? "flat" : "grew", fds_min, fds_max,
              constant ? "constant" : "changed", failures);
  return flat && constant && failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zelvar::bench

int main(int argc, char** argv) { return zelvar::bench::Main(argc, argv); }
