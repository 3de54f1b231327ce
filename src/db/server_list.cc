// Reading a list of servers (server_list.h).

#include "db/server_list.h"

namespace zelvar::db {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  int number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return number >= 1 && number <= 65535;
}

// One entry: "host", "host:port", "[address]" or "[address]:port"; an
// address with several colons and no brackets is an IPv6 address alone.
bool ParseEntry(std::string_view entry, const std::string& default_port, ServerAddress* server,
                std::string* why) {
  std::string_view host = entry;
  std::string_view port;
  bool has_port = false;
  if (!entry.empty() && entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string_view::npos) {
      *why = "the server \"" + std::string(entry) + "\" has no closing ]";
      return false;
    }
    host = entry.substr(1, close - 1);
    std::string_view rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        *why = "the server \"" + std::string(entry) + "\" has text after its ]";
        return false;
      }
      port = rest.substr(1);
      has_port = true;
    }
  } else if (const size_t colon = entry.find(':');
             colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
    host = entry.substr(0, colon);
    port = entry.substr(colon + 1);
    has_port = true;
  }
  host = Trim(host);
  port = Trim(port);
  if (host.empty()) {
    *why = "the server list \"" + std::string(entry) + "\" has an empty host";
    return false;
  }
  if (has_port && !IsPort(port)) {
    *why = "the server \"" + std::string(entry) + "\" has a bad port \"" + std::string(port) +
           "\" (a number from 1 to 65535)";
    return false;
  }
  server->host = std::string(host);
  server->port = has_port ? std::string(port) : default_port;
  return true;
}

}  // namespace

bool ParseServerList(std::string_view list, const std::string& default_port,
                     std::vector<ServerAddress>* servers, std::string* why) {
  if (!default_port.empty() && !IsPort(Trim(default_port))) {
    *why = "the Port \"" + default_port + "\" is not a number from 1 to 65535";
    return false;
  }
  const std::string port(Trim(default_port));
  for (;;) {
    const size_t comma = list.find(',');
    const std::string_view entry = Trim(list.substr(0, comma));
    if (entry.empty()) {
      *why = "the server list has an empty entry (a comma too many?)";
      return false;
    }
    ServerAddress server;
    if (!ParseEntry(entry, port, &server, why)) return false;
    servers->push_back(std::move(server));
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace zelvar::db
