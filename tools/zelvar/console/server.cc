// zelvar console: the HTTP(S) server, where it may listen, and the web
// app's files.
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

#include <httplib.h>

#include "tools/zelvar/console/api.h"
#include "tools/zelvar/console/assets.h"
#include "tools/zelvar/console/console.h"

namespace zelvar::console {
namespace {

// What every answer carries: no framing, no sniffing, no referrer, no
// scripts or styles but the app's own, nothing cached.
httplib::Headers SecurityHeaders() {
  return {
      {"Content-Security-Policy",
       "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'; "
       "form-action 'self'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
}

void ServeAssets(httplib::Server* server) {
  server->Get("/([A-Za-z0-9._-]*)", [](const httplib::Request& request, httplib::Response& response) {
    std::string name = request.matches[1].str();
    if (name.empty()) name = "index.html";
    const Asset* asset = FindAsset(name);
    if (asset == nullptr) return AnswerError(response, 404, "there is no page /" + name);
    response.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->type);
  });
  // Any other path under /api is no endpoint; the API answers JSON there too.
  server->set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (!response.body.empty()) return;
    if (response.status == 404) return AnswerError(response, 404, "there is no endpoint " + request.path);
    AnswerError(response, response.status, "the request could not be served");
  });
  server->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
    std::string what = "unknown";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "zelvar console: a request failed: %s\n", what.c_str());
    AnswerError(response, 500, "the console could not answer this request; see its log");
  });
}

// Stops `server` at SIGINT or SIGTERM: the signals are blocked in every
// thread and taken by this one. A signal that comes before the server has
// begun to accept is not lost: stop() is repeated until the server's loop
// has ended (`served` set by the thread that runs it).
std::thread StopOnSignal(httplib::Server* server, sigset_t signals, const std::atomic<bool>* served) {
  return std::thread([server, signals, served] {
    const timespec tick{0, 100 * 1000 * 1000};
    int number = -1;
    while (!served->load() && number < 0) number = sigtimedwait(&signals, nullptr, &tick);
    if (number < 0) return;  // the server ended on its own
    std::fprintf(stderr, "zelvar console: stopping (signal %d)\n", number);
    while (!served->load()) {
      server->stop();
      nanosleep(&tick, nullptr);
    }
  });
}

}  // namespace

bool ParseListen(const std::string& text, ListenAddress* address, std::string* error) {
  std::string host, port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) {
      *error = "--listen '" + text + "' is not [ADDRESS]:PORT";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      *error = "--listen '" + text + "' is not HOST:PORT (an IPv6 address goes in brackets: [::1]:8470)";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  char* end = nullptr;
  const long number = std::strtol(port.c_str(), &end, 10);
  if (host.empty() || port.empty() || *end != '\0' || number < 0 || number > 65535) {
    *error = "--listen '" + text + "' needs a host and a port from 0 to 65535";
    return false;
  }
  address->host = host;
  address->port = static_cast<int>(number);
  in_addr v4 {};
  in6_addr v6 {};
  if (host == "localhost") address->loopback = true;
  else if (inet_pton(AF_INET, host.c_str(), &v4) == 1) address->loopback = (ntohl(v4.s_addr) >> 24) == 127;
  else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) address->loopback = IN6_IS_ADDR_LOOPBACK(&v6);
  else address->loopback = false;  // a name: it may reach the network
  return true;
}

int RunConsole(const cli::GlobalOptions& global, const ConsoleOptions& given) {
  ConsoleOptions options = given;
  ListenAddress address;
  std::string error;
  if (!ParseListen(options.listen, &address, &error)) return cli::Fail(cli::kExitUsage, error);
  const bool tls = !options.tls_cert.empty() || !options.tls_key.empty();
  if (tls && (options.tls_cert.empty() || options.tls_key.empty())) {
    return cli::Fail(cli::kExitUsage, "TLS takes both --tls-cert and --tls-key");
  }
  if (!address.loopback && !tls && !options.insecure_http) {
    return cli::Fail(cli::kExitUsage,
                     "--listen " + options.listen + " is reachable from other machines: give --tls-cert and --tls-key, "
                     "or --insecure-http to serve plain HTTP there on purpose");
  }
  if (options.session_minutes < 1 || options.session_minutes > 7 * 24 * 60) {
    return cli::Fail(cli::kExitUsage, "--session-minutes takes 1 to 10080");
  }
  if (options.users_file.empty()) options.users_file = DefaultLoginsPath(&error);
  if (options.users_file.empty()) return cli::Fail(cli::kExitUsage, error);

  std::unique_ptr<httplib::Server> server;
  if (tls) {
    server = std::make_unique<httplib::SSLServer>(options.tls_cert.c_str(), options.tls_key.c_str());
    if (!server->is_valid()) {
      return cli::Fail(cli::kExitUsage, "--tls-cert '" + options.tls_cert + "' or --tls-key '" + options.tls_key +
                                            "' can't be read, or they do not match");
    }
  } else {
    server = std::make_unique<httplib::Server>();
  }
  server->set_default_headers(SecurityHeaders());
  server->set_payload_max_length(1 << 20);
  server->set_read_timeout(30);
  ConsoleApi api(global, options, tls);
  api.Register(server.get());
  ServeAssets(server.get());

  const int port = address.port == 0 ? server->bind_to_any_port(address.host)
                                     : (server->bind_to_port(address.host, address.port) ? address.port : -1);
  if (port < 0) return cli::Fail(cli::kExitUsage, "cannot listen on " + options.listen + " (in use, or not this machine's)");

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::atomic<bool> served{false};
  std::thread stopper = StopOnSignal(server.get(), signals, &served);

  const std::string shown_host = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  std::printf("zelvar console: listening on %s://%s:%d/\n", tls ? "https" : "http", shown_host.c_str(), port);
  std::fflush(stdout);
  std::fprintf(stderr, "zelvar console: logins from %s; writes audited in %s\n", options.users_file.c_str(),
               global.audit_file.empty() ? "the default audit file" : global.audit_file.c_str());
  const bool listened = server->listen_after_bind();
  served = true;
  stopper.join();
  return listened ? cli::kExitOk : cli::Fail(cli::kExitFailed, "the console stopped serving");
}

}  // namespace zelvar::console
