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
#include "codec/keys.h"
#include "codec/requests.h"
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

// The request images of the mix, built once.
struct Images {
  std::string lookup, message, trade, goods, invitation;
};

Images MakeImages() {
  Images images;
  CKParam lookup = codec::AccountRequest(ToWide(w::UserName(w::kLookedUp)));
  images.lookup = Image(lookup);
  CKParam message = codec::MessageRequest(w::kRecipient, u"soak message");
  images.message = Image(message);
  CKParam trade = codec::TradeRequest(w::kRecipient, 77);
  images.trade = Image(trade);
  CKParam goods =
      codec::SendGoodsRequest(ToWide(w::UserName(w::kReceiver)), {{501, u"30天", 100, 1, 1}});
  images.goods = Image(goods);
  CKParam invitation =
      codec::InvitationsRequest({{u"CODE", 1, u"a@b.example", 1, u"note", 1, 0}}, false);
  images.invitation = Image(invitation);
  return images;
}

// Request `i` of the mix: mostly lookups and friend lists, every hundredth
// a message, a trade and a read of the unread messages, every thousandth
// a goods sending and an invitation.
bool RunOne(long i, Images& images, World* world, const std::string& reset_messages) {
  switch (i % 100) {
    case 0:
      return Put(w::kSender, 0, images.message);
    case 1:
      return Put(w::kSender, 0, images.trade);
    case 2: {
      const bool ok = Query(w::kReader, codec::kUnreadMessagesKind);
      world->Exec(reset_messages);
      return ok;
    }
    case 3:
      return i % 1000 != 3 || Record(codec::kGoodsSending, images.goods);
    case 4:
      return i % 1000 != 4 || Put(w::kInviter, codec::kStoreInvitations, images.invitation);
    default:
      break;
  }
  switch (i % 8) {
    case 0:
    case 1:
    case 2:
      return Record(codec::kAccountLookup, images.lookup);
    case 3:
    case 4:
      return Query(w::FriendPlayer(10), codec::kFriendListKind);
    case 5:
      return Query(w::TradePlayer(5), codec::kTradeHistoryKind);
    case 6:
      return Query(1, codec::kTradeItemsKind);
    default:
      return Query(w::FriendPlayer(1), codec::kFriendListKind);
  }
}

// Memory and descriptors seen after the warm-up.
struct Levels {
  long rss_after_warm_up = -1, rss_max = 0;
  int fds_after_warm_up = -1, fds_min = 1 << 30, fds_max = -1;

  void Add(long rss, int fds) {
    if (rss_after_warm_up < 0) {
      rss_after_warm_up = rss;
      fds_after_warm_up = fds;
    }
    rss_max = std::max(rss_max, rss);
    fds_min = std::min(fds_min, fds);
    fds_max = std::max(fds_max, fds);
  }
};

int Main(int argc, char** argv) {
  const long total = argc > 1 ? std::atol(argv[1]) : 1000000;
  const long interval = argc > 2 ? std::atol(argv[2]) : 50000;
  std::string why;
  World* world = World::Get(Backend::kSqlite, &why);
  if (world == nullptr || !UseWorld(world)) {
    std::fprintf(stderr, "soak: no world: %s\n", why.c_str());
    return 2;
  }

  Images images = MakeImages();
  const std::string reset_messages =
      "UPDATE tblUserMsg SET nRead = 0 WHERE nUserId = " + std::to_string(w::kReader);
  const std::string cleanup =
      "DELETE FROM tblUserMsg WHERE nUserId = " + std::to_string(w::kRecipient) +
      "; DELETE FROM tblFriendTradeHistory WHERE nPlayUserId = " + std::to_string(w::kSender) +
      "; DELETE FROM tblInviteRecord";

  std::printf("%10s %10s %10s %12s\n", "requests", "rss_kib", "open_fds", "seconds");
  const auto start = std::chrono::steady_clock::now();
  const long warm_up = total / 10;
  Levels levels;
  long failures = 0;
  for (long i = 1; i <= total; ++i) {
    if (!RunOne(i, images, world, reset_messages)) ++failures;
    if (i % 20000 == 0) world->Exec(cleanup);
    if (i % interval == 0 || i == total) {
      const long rss = ResidentKiB();
      const int fds = OpenDescriptors();
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("%10ld %10ld %10d %12.1f\n", i, rss, fds, seconds);
      std::fflush(stdout);
      if (i >= warm_up) levels.Add(rss, fds);
    }
  }
  world->Exec(cleanup);
  // Flat: no more than 2 MiB, or 5 per cent, above the level after warm-up.
  const long allowed = std::max(2048L, levels.rss_after_warm_up / 20);
  const bool flat = levels.rss_max - levels.rss_after_warm_up <= allowed;
  const bool constant =
      levels.fds_min == levels.fds_max && levels.fds_min == levels.fds_after_warm_up;
  std::printf("after warm-up: rss %ld to %ld KiB (%s), open fds %d to %d (%s), %ld failed requests\n",
              levels.rss_after_warm_up, levels.rss_max, flat ? "flat" : "grew", levels.fds_min,
              levels.fds_max, constant ? "constant" : "changed", failures);
  return flat && constant && failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zelvar::bench

int main(int argc, char** argv) { return zelvar::bench::Main(argc, argv); }
