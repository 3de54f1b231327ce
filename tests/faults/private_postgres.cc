// A private PostgreSQL server (private_postgres.h), driven through its own
// command-line programs.

#include "faults/private_postgres.h"

#include <pwd.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zelvar::test {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string SourceDir() {
  if (const char* dir = std::getenv("ZELVAR_SOURCE_DIR")) return dir;
  return ZELVAR_SOURCE_DIR;
}

// A port nothing listens on now: the kernel's pick for a socket bound to
// port 0.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace

bool PrivatePostgres::Available() {
  return !Env("ZELVAR_TEST_PG_BIN").empty() && !Env("ZELVAR_TEST_PG_USER").empty();
}

bool PrivatePostgres::AsServerUser(const std::string& command) const {
  const std::string line =
      geteuid() == 0 ? "runuser -u " + user_ + " -- sh -c '" + command + "'" : command;
  return std::system((line + " >>" + folder_ + "/commands.log 2>&1").c_str()) == 0;
}

std::unique_ptr<PrivatePostgres> PrivatePostgres::Start(std::string* error) {
  std::unique_ptr<PrivatePostgres> server(new PrivatePostgres());
  server->bin_ = Env("ZELVAR_TEST_PG_BIN");
  server->user_ = Env("ZELVAR_TEST_PG_USER");
  std::string folder = std::filesystem::temp_directory_path().string() + "/zelvar-pgf-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    *error = "no temporary folder";
    return nullptr;
  }
  server->folder_ = folder;
  if (geteuid() == 0) {
    const passwd* account = getpwnam(server->user_.c_str());
    if (account == nullptr || chown(folder.c_str(), account->pw_uid, account->pw_gid) != 0) {
      *error = "can't give " + folder + " to " + server->user_;
      return nullptr;
    }
  }
  const std::string data = folder + "/data";
  if (!server->AsServerUser(server->bin_ + "/initdb -D " + data +
                            " -U postgres --auth=trust --encoding=UTF8 --locale=C.UTF-8")) {
    *error = "initdb failed (see " + folder + "/commands.log)";
    return nullptr;
  }
  int port = 0;
  for (int attempt = 0; attempt < 10 && !server->started_; ++attempt) {
    port = FreePort();
    std::ofstream conf(data + "/postgresql.auto.conf", std::ios::trunc);
    conf << "listen_addresses = '127.0.0.1'\n"
         << "port = " << port << "\n"
         << "unix_socket_directories = '" << folder << "'\n"
         << "max_connections = 100\nshared_buffers = 16MB\n"
         << "fsync = off\nfull_page_writes = off\nsynchronous_commit = on\n"
         << "log_min_messages = warning\n";
    conf.close();
    server->started_ = server->AsServerUser(server->bin_ + "/pg_ctl start -w -t 60 -D " + data +
                                            " -l " + folder + "/server.log");
  }
  if (!server->started_) {
    *error = "the server did not start (see " + folder + "/server.log)";
    return nullptr;
  }
  const std::string psql = server->bin_ + "/psql -X -q -v ON_ERROR_STOP=1 -h " + folder +
                           " -p " + std::to_string(port) + " -U postgres";
  if (!server->AsServerUser(psql + " -d postgres -c \"CREATE DATABASE zelvar\"") ||
      !server->AsServerUser(psql + " -d zelvar -f " + SourceDir() + "/schema/postgresql.sql")) {
    *error = "the schema could not be loaded (see " + folder + "/commands.log)";
    return nullptr;
  }
  server->connection_string_ = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" +
                               std::to_string(port) + ";Database=zelvar;Uid=postgres;Pwd=none;";
  return server;
}

bool PrivatePostgres::Restart(const std::string& mode) {
  return AsServerUser(bin_ + "/pg_ctl restart -w -t 60 -m " + mode + " -D " + folder_ +
                      "/data -l " + folder_ + "/server.log");
}

PrivatePostgres::~PrivatePostgres() {
  if (started_) AsServerUser(bin_ + "/pg_ctl stop -m immediate -w -D " + folder_ + "/data");
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

}  // namespace zelvar::test
