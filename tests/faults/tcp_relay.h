// A relay in front of a database server, to be a "node" a test can kill,
// stop, bring back, or cut at a chosen moment: it listens on 127.0.0.1 (a
// free port) and passes every connection's bytes both ways to the server.
//
// Thread-safe; one thread of its own moves the bytes.
#ifndef ZELVAR_TESTS_FAULTS_TCP_RELAY_H_
#define ZELVAR_TESTS_FAULTS_TCP_RELAY_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelvar::test {

class TcpRelay {
 public:
  explicit TcpRelay(int server_port);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }
  // Connections accepted so far.
  int accepted() const { return accepted_; }

  // As a server that died: every connection is dropped and connects are
  // refused until Revive listens again on the same port.
  void Kill();
  void Revive();
  // As a stopped server (SIGSTOP): connects still complete, but no byte
  // moves either way until thawed.
  void Freeze(bool frozen) { frozen_ = frozen; }
  // Once: the first client text holding `marker` is passed on to the
  // server, and then that client's link is cut before any answer reaches
  // it. The server goes on with what it got.
  void CutAfter(const std::string& marker);
  // Whether a cut asked for happened.
  bool cut() const { return cut_done_; }
  // As a Galera node that is not ready (MariaDB's protocol): every
  // command of a client text holding `marker` is answered with error 1047
  // (SQLSTATE 08S01) and never reaches the server; others pass. Empty:
  // none is refused.
  void RefuseAsNotReady(const std::string& marker);
  // Commands refused so far.
  int refused() const { return refused_; }

 private:
  struct Pair {
    int client;
    int server;
  };
  void Listen();
  void Serve();
  void Accept();
  enum class Moved { kOn, kEnd, kCut };
  // Answers every MariaDB packet of `text` with the not-ready error.
  bool Refuse(int client, const std::string& text);
  // Moves what is readable on `from` to `to`: kEnd when the pair ends,
  // kCut when the client is to be cut off.
  Moved Move(int from, int to, bool from_client);
  void CloseAll();

  const int server_port_;
  int port_ = 0;
  int listener_ = -1;
  std::vector<Pair> pairs_;
  std::vector<int> cut_servers_;  // server sides of cut pairs, closed at the end
  std::atomic<bool> stop_{false};
  std::atomic<bool> frozen_{false};
  std::atomic<int> accepted_{0};
  std::atomic<bool> cut_done_{false};
  std::atomic<int> refused_{0};
  std::mutex mutex_;  // guards the requests below
  bool kill_requested_ = false;
  bool revive_requested_ = false;
  std::string marker_;
  std::string refuse_marker_;
  std::thread thread_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_FAULTS_TCP_RELAY_H_
