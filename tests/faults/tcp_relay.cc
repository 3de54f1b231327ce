// The relay (tcp_relay.h).

#include "faults/tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace zelvar::test {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace

TcpRelay::TcpRelay(int server_port) : server_port_(server_port) {
  Listen();
  thread_ = std::thread([this] { Serve(); });
}

TcpRelay::~TcpRelay() {
  stop_ = true;
  thread_.join();
  CloseAll();
  for (int fd : cut_servers_) close(fd);
}

void TcpRelay::Listen() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = Loopback(port_);
  socklen_t length = sizeof(address);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 128) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener_);
    listener_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
}

void TcpRelay::Kill() {
  std::lock_guard<std::mutex> lock(mutex_);
  kill_requested_ = true;
}

void TcpRelay::Revive() {
  std::lock_guard<std::mutex> lock(mutex_);
  revive_requested_ = true;
}

void TcpRelay::CutAfter(const std::string& marker) {
  std::lock_guard<std::mutex> lock(mutex_);
  marker_ = marker;
}

void TcpRelay::RefuseAsNotReady(const std::string& marker) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_marker_ = marker;
}

bool TcpRelay::Refuse(int client, const std::string& text) {
  static const std::string kMessage = "WSREP has not yet prepared node for application use";
  // Each packet: three bytes of length, one of sequence number. The error
  // packet answers with the next number.
  size_t at = 0;
  while (at + 4 <= text.size()) {
    const size_t length = static_cast<unsigned char>(text[at]) |
                          (static_cast<unsigned char>(text[at + 1]) << 8) |
                          (static_cast<unsigned char>(text[at + 2]) << 16);
    const char sequence = static_cast<char>(text[at + 3] + 1);
    std::string payload = "\xff\x17\x04#08S01" + kMessage;  // 1047, little-endian
    std::string packet = {static_cast<char>(payload.size()), 0, 0, sequence};
    packet += payload;
    if (!SendAll(client, packet.data(), packet.size())) return false;
    ++refused_;
    at += 4 + length;
  }
  return true;
}

void TcpRelay::CloseAll() {
  for (const Pair& pair : pairs_) {
    close(pair.client);
    close(pair.server);
  }
  pairs_.clear();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void TcpRelay::Accept() {
  const int client = accept(listener_, nullptr, nullptr);
  if (client < 0) return;
  ++accepted_;
  const int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(server_port_);
  if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(server);
    close(client);
    return;
  }
  pairs_.push_back({client, server});
}

TcpRelay::Moved TcpRelay::Move(int from, int to, bool from_client) {
  char buffer[16384];
  const ssize_t got = recv(from, buffer, sizeof(buffer), 0);
  if (got <= 0) return Moved::kEnd;
  const std::string text(buffer, static_cast<size_t>(got));
  if (from_client) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refuse_marker_.empty() && text.find(refuse_marker_) != std::string::npos) {
      return Refuse(from, text) ? Moved::kOn : Moved::kEnd;
    }
  }
  if (!SendAll(to, buffer, static_cast<size_t>(got))) return Moved::kEnd;
  if (from_client) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!marker_.empty() && text.find(marker_) != std::string::npos) {
      marker_.clear();
      cut_done_ = true;
      return Moved::kCut;
    }
  }
  return Moved::kOn;
}

void TcpRelay::Serve() {
  while (!stop_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kill_requested_) {
        const int port = port_;
        CloseAll();
        port_ = port;
        kill_requested_ = false;
      }
      if (revive_requested_ && listener_ < 0) Listen();
      revive_requested_ = false;
    }
    if (frozen_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    std::vector<pollfd> fds;
    if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
    for (const Pair& pair : pairs_) {
      fds.push_back({pair.client, POLLIN, 0});
      fds.push_back({pair.server, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;
    size_t at = 0;
    if (listener_ >= 0 && (fds[at++].revents & POLLIN) != 0) Accept();
    std::vector<Pair> kept;
    for (size_t i = 0; i < fds.size() - at; i += 2) {
      const Pair pair = pairs_[i / 2];
      Moved moved = Moved::kOn;
      if (fds[at + i].revents != 0) moved = Move(pair.client, pair.server, true);
      if (moved == Moved::kOn && fds[at + i + 1].revents != 0) {
        moved = Move(pair.server, pair.client, false);
      }
      if (moved == Moved::kOn) {
        kept.push_back(pair);
      } else if (moved == Moved::kCut) {
        // The server keeps its side until the end, so it finishes what it got.
        close(pair.client);
        cut_servers_.push_back(pair.server);
      } else {
        close(pair.client);
        close(pair.server);
      }
    }
    // Pairs accepted during this round come after those polled.
    for (size_t i = (fds.size() - at) / 2; i < pairs_.size(); ++i) kept.push_back(pairs_[i]);
    pairs_ = std::move(kept);
  }
}

}  // namespace zelvar::test
