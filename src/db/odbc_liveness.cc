// The ODBC backend's hold on the link: the socket the driver opened for a
// connection, named at connect time, and the check a pooled connection
// passes before it is leased again.

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <unordered_set>

#include "db/odbc_internal.h"

namespace zelvar::db {
namespace {

// A connection whose socket is unknown is probed before reuse once it has
// been idle this long (see IsAlive).
constexpr auto kProbeAfterIdle = std::chrono::seconds(5);

int LocalPort(int fd) {
  sockaddr_storage local;
  socklen_t length = sizeof(local);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return -1;
}

}  // namespace

// Read from /proc/self/fd.
std::vector<SocketId> OpenStreamSockets() {
  std::vector<SocketId> sockets;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return sockets;
  const int dir_fd = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != 0 || fd == dir_fd) continue;
    struct stat st;
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    int type = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
      continue;
    }
    sockaddr_storage peer;
    socklen_t peer_length = sizeof(peer);
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
      continue;
    }
    sockets.push_back({static_cast<int>(fd), st.st_dev, st.st_ino});
  }
  closedir(dir);
  return sockets;
}

void OdbcConnection::FindOwnSocket(const std::vector<SocketId>& before) {
  // A connected stream socket that was not open before the connect call.
  // Other threads may open sockets meanwhile (other connections, the
  // host's own clients); with more than one new socket, PostgreSQL can
  // name the client port it sees, and without a sure match the socket
  // stays unknown.
  std::unordered_set<ino_t> old_inodes;
  for (const SocketId& id : before) old_inodes.insert(id.inode);
  std::vector<SocketId> fresh;
  for (const SocketId& id : OpenStreamSockets()) {
    if (!old_inodes.count(id.inode)) fresh.push_back(id);
  }
  if (fresh.size() == 1) {
    socket_ = fresh.front();
  } else if (fresh.size() > 1 && dialect_ == Dialect::kPostgres) {
    if (std::optional<int> port = ServerSeenClientPort()) {
      for (const SocketId& id : fresh) {
        if (LocalPort(id.fd) == *port) socket_ = id;
      }
    }
  }
}

std::optional<int> OdbcConnection::ServerSeenClientPort() {
  SQLHSTMT raw = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &raw))) return std::nullopt;
  StatementHandle statement(raw);
  std::u16string query = u"SELECT inet_client_port()";
  if (!SQL_SUCCEEDED(SQLExecDirectW(raw, Wide(query), SQL_NTS)) || !SQL_SUCCEEDED(SQLFetch(raw))) {
    return std::nullopt;
  }
  SQLBIGINT port = 0;
  SQLLEN indicator = 0;
  if (!SQL_SUCCEEDED(SQLGetData(raw, 1, SQL_C_SBIGINT, &port, sizeof(port), &indicator)) ||
      indicator == SQL_NULL_DATA) {
    return std::nullopt;
  }
  SQLFreeStmt(raw, SQL_CLOSE);
  return static_cast<int>(port);
}

// The socket named at connect time, polled without waiting. An idle
// database link carries nothing from the server: between statements the
// driver has read every reply, so data waiting to be read (PostgreSQL's
// "terminating connection" notice, MariaDB's error packet before it
// closes), the peer's end of stream, an error or a hang-up all mean the
// server has given up on the session. The descriptor is checked to still
// be the same socket, since the driver may have closed it and the number
// been reused.
bool OdbcConnection::SocketLooksAlive() {
  struct stat st;
  if (fstat(socket_->fd, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_ino != socket_->inode ||
      st.st_dev != socket_->device) {
    return false;
  }
  pollfd poll_fd{};
  poll_fd.fd = socket_->fd;
  poll_fd.events = POLLIN | POLLPRI | POLLRDHUP;
  int ready = poll(&poll_fd, 1, 0);
  if (ready < 0) return false;
  return ready == 0 || poll_fd.revents == 0;
}

// Only for a connection whose socket could not be named, after it has
// been idle a while: a statement without effect, run to learn whether the
// link still carries one.
bool OdbcConnection::Probe() {
  if (!KeepStatement(probe_).ok()) return false;
  std::u16string text = u"SELECT 1";
  SQLRETURN rc = SQLExecDirectW(probe_.get(), Wide(text), SQL_NTS);
  SQLFreeStmt(probe_.get(), SQL_CLOSE);
  if (!SQL_SUCCEEDED(rc)) {
    Fail(SQL_HANDLE_STMT, probe_.get(), u"");
    return false;
  }
  last_used_ = std::chrono::steady_clock::now();
  return true;
}

// Whether the connection can take a statement, checked by the pool before
// it hands out an idle connection.
//
// The driver's own SQL_ATTR_CONNECTION_DEAD only knows what it learned the
// last time it talked to the server, and psqlODBC learns of a terminated
// session only when it next sends. So the socket the driver opened is
// remembered at connect time and polled here with a zero timeout: two
// system calls, no round trip, nothing the server would run, which keeps
// the check off the hot path. A server restart or pg_terminate_backend
// shows there at once as readable data and end of stream.
//
// When the socket could not be named (another socket opened in the same
// moment and the server can't tell us which is ours, or a transport without
// a socket of ours), an idle connection is probed with a statement without
// effect, but only after it has rested kProbeAfterIdle, so a busy pool pays
// nothing for it.
bool OdbcConnection::IsAlive() {
  if (broken_ || in_transaction_) return !broken_;
  // MariaDB's driver answers the question with a ping, a round trip on
  // every lease; the socket, where it is known, tells without one.
  const bool ask_driver = !(dialect_ == Dialect::kMySql && socket_);
  if (ask_driver && DriverSaysDead()) {
    broken_ = true;
    return false;
  }
  if (socket_) {
    if (!SocketLooksAlive()) {
      broken_ = true;
      return false;
    }
    return true;
  }
  if (std::chrono::steady_clock::now() - last_used_ >= kProbeAfterIdle && !Probe()) {
    broken_ = true;
    return false;
  }
  return true;
}

}  // namespace zelvar::db
