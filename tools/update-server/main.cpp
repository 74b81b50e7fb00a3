// corelatch-update-server: serves a firmware repository to Updater over HTTP
// and/or HTTPS, one thread per connection, with fault modes for tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Repository.h"
#include "Sample.h"

namespace {

const char kUsage[] =
    "Usage: corelatch-update-server --repo <dir> [options]\n"
    "\n"
    "Serves the firmware builds of <dir> to Updater (-B, -L, -G, -u <url>).\n"
    "<dir> holds one folder per device serial number (8 uppercase hex digits),\n"
    "each holding BIRD files named <build>.bird; the build list shows the version\n"
    "of each file's descriptor and the newest version is the recommended build.\n"
    "Files are read on every request, so builds can be added while it runs.\n"
    "\n"
    "Options:\n"
    "  --repo <dir>          the repository (required)\n"
    "  --listen <address>    IPv4 address to listen on [127.0.0.1]\n"
    "  --http <port>         serve plain HTTP on <port>; 0 picks a free port\n"
    "  --https <port>        serve HTTPS on <port>; 0 picks a free port\n"
    "  --cert <file>         PEM certificate chain for HTTPS\n"
    "  --key <file>          PEM private key for HTTPS\n"
    "  --fixes <file>        chip fingerprints for op=fix, one per line:\n"
    "                        <word> <word> <word> <word> <serial> <build> (hex words)\n"
    "  --fault <spec>        answer every request with a fault (see below)\n"
    "  --make-sample <dir>   write a small sample repository into <dir> and exit\n"
    "                        (its fingerprints are in <dir>/fixes.txt)\n"
    "  -h, --help            this text\n"
    "\n"
    "Without --http or --https it serves HTTP on a free port. For each listener it\n"
    "prints one line to standard output, e.g.\n"
    "  serving http://127.0.0.1:41234/cgi/u\n"
    "and then one line per request to standard error. Give Updater that URL\n"
    "with -u (for HTTPS with a private CA, also --cacert <ca file>).\n"
    "\n"
    "Faults, for testing clients: <spec> is <mode>[:<ms>][/<op>]; with /<op> only\n"
    "requests of that op (hi, qu, builds, bird, fix) get the fault. A request can\n"
    "also pick its own fault with the path /fault/<spec>/cgi/u, e.g.\n"
    "  -u http://127.0.0.1:41234/fault/cut/bird/cgi/u\n"
    "Modes:\n"
    "  status500   HTTP 500 with a short body\n"
    "  notok       HTTP 200 whose first line is not \"ok\"\n"
    "  slow[:ms]   the normal answer after a pause [1000 ms]\n"
    "  stall[:ms]  half the answer, then silence for <ms> [60000 ms], then close\n"
    "  cut         half the answer, then the connection is closed\n"
    "  badbase64   (bird) a payload with a character outside the base64 alphabet\n"
    "  badlength   (bird) a payload whose length is not a multiple of 4\n"
    "  nopayload   (bird) an \"ok\" answer without a payload line\n"
    "  notbird     (bird) valid base64 of a file that is not a BIRD file\n";

struct Fault {
  std::string mode;  // empty: none
  std::string op;    // empty: every op
  long delayMs = -1;
};

bool knownMode(const std::string& mode) {
  static const char* const kModes[] = {"status500", "notok",     "slow",      "stall",  "cut",
                                       "badbase64", "badlength", "nopayload", "notbird"};
  for (const char* m : kModes)
    if (mode == m) return true;
  return false;
}

std::optional<Fault> parseFault(const std::string& spec) {
  Fault fault;
  std::string text = spec;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    fault.op = text.substr(slash + 1);
    text.resize(slash);
    if (fault.op.empty() || fault.op.find('/') != std::string::npos) return std::nullopt;
  }
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    const std::string ms = text.substr(colon + 1);
    if (ms.empty() || ms.size() > 7 || ms.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    fault.delayMs = std::stol(ms);
    text.resize(colon);
  }
  if (!knownMode(text)) return std::nullopt;
  fault.mode = text;
  return fault;
}

std::string percentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> parseQuery(const std::string& query) {
  std::map<std::string, std::string> params;
  size_t start = 0;
  while (start < query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const size_t eq = pair.find('=');
    if (!pair.empty())
      params.emplace(percentDecode(pair.substr(0, eq)),
                     eq == std::string::npos ? std::string() : percentDecode(pair.substr(eq + 1)));
    start = end + 1;
  }
  return params;
}

const char* reasonText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

// One accepted connection, plain or TLS.
class Connection {
 public:
  Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~Connection() {
    if (ssl_) {
      if (orderly_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool handshake() { return !ssl_ || SSL_accept(ssl_) == 1; }
  long receive(char* buffer, size_t size) {
    if (ssl_) return SSL_read(ssl_, buffer, static_cast<int>(size));
    return recv(fd_, buffer, size, 0);
  }
  bool send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const long n = ssl_ ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                          : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Ends the connection without a TLS close notification, as a cut line would.
  void abort() { orderly_ = false; }

 private:
  int fd_;
  SSL* ssl_;
  bool orderly_ = true;
};

struct Server {
  Repository repository;
  std::optional<Fault> fault;  // server-wide
};

// Applies a fault that rewrites the payload of a bird answer.
void rewritePayload(const std::string& mode, Answer& answer) {
  if (answer.status != 200 || answer.body.compare(0, 3, "ok\n") != 0) return;
  std::string payload = answer.body.substr(3);
  if (!payload.empty() && payload.back() == '\n') payload.pop_back();
  if (mode == "badbase64" && !payload.empty()) payload[payload.size() / 2] = '*';
  if (mode == "badlength" && !payload.empty()) payload.pop_back();
  if (mode == "nopayload") payload.clear();
  if (mode == "notbird") payload = encodeBase64("This text is not a BIRD firmware file.\n");
  answer.body = "ok\n" + payload + (payload.empty() ? "" : "\n");
}

void serve(const Server& server, Connection& connection) {
  if (!connection.handshake()) {
    char reason[256] = "connection closed";
    if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    fprintf(stderr, "corelatch-update-server: TLS handshake failed: %s\n", reason);
    return;
  }
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() > 16384) return;
    const long n = connection.receive(buffer, sizeof buffer);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  const std::string line = request.substr(0, request.find("\r\n"));
  const size_t sp1 = line.find(' ');
  const size_t sp2 = line.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
  Answer answer;
  std::optional<Fault> fault = server.fault;
  std::string target;
  if (sp1 == std::string::npos || sp2 == std::string::npos) {
    answer = {400, "bad request\n"};
  } else {
    target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const size_t q = target.find('?');
    std::string path = target.substr(0, q);
    const auto query = parseQuery(q == std::string::npos ? "" : target.substr(q + 1));
    const std::string suffix = "/cgi/u";
    if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
      path.resize(path.size() - suffix.size());
    if (path.compare(0, 7, "/fault/") == 0) {
      fault = parseFault(path.substr(7));
      if (!fault) answer = {404, "unknown fault [" + path.substr(7) + "]\n"};
    } else if (!path.empty() && path != "/") {
      answer = {404, "not found\n"};
    }
    if (line.compare(0, 4, "GET ") != 0) answer = {405, "only GET\n"};
    if (answer.body.empty()) {
      answer = server.repository.answer(query);
      auto op = query.find("op");
      if (fault && !fault->op.empty() && (op == query.end() || op->second != fault->op))
        fault.reset();
      if (fault) {
        const std::string& mode = fault->mode;
        if (mode == "status500") answer = {500, "internal error\n"};
        if (mode == "notok") answer = {200, "error: refused on purpose\n"};
        if (op != query.end() && op->second == "bird") rewritePayload(mode, answer);
      }
    } else {
      fault.reset();
    }
  }
  fprintf(stderr, "corelatch-update-server: GET %s -> %d%s%s\n", target.c_str(), answer.status,
          fault ? " fault " : "", fault ? fault->mode.c_str() : "");

  char head[256];
  snprintf(head, sizeof head,
           "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
           "Connection: close\r\n\r\n",
           answer.status, reasonText(answer.status), answer.body.size());
  const std::string mode = fault ? fault->mode : "";
  auto pause = [&](long defaultMs) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(fault->delayMs >= 0 ? fault->delayMs : defaultMs));
  };
  if (mode == "slow") pause(1000);
  if (mode == "cut" || mode == "stall") {
    connection.send(head + answer.body.substr(0, answer.body.size() / 2));
    if (mode == "stall") pause(60000);
    connection.abort();
    return;
  }
  connection.send(head + answer.body);
}

int listenOn(const std::string& address, int port, int& boundPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    close(fd);
    errno = EINVAL;  // not an IPv4 address
    return -1;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  boundPort = ntohs(addr.sin_port);
  return fd;
}

void acceptLoop(const Server& server, int listenFd, SSL_CTX* tls) {
  for (;;) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or similar: let connections finish instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // A client that connects and says nothing must not hold a thread forever.
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    SSL* ssl = nullptr;
    if (tls) {
      ssl = SSL_new(tls);
      if (!ssl) {
        close(fd);
        continue;
      }
      SSL_set_fd(ssl, fd);
    }
    std::thread([&server, fd, ssl] {
      Connection connection(fd, ssl);
      serve(server, connection);
    }).detach();
  }
}

int usageError(const char* text) {
  fprintf(stderr, "corelatch-update-server: %s\n(--help for usage)\n", text);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string repo, address = "127.0.0.1", cert, key, fixes;
  int httpPort = -1, httpsPort = -1;
  std::optional<Fault> fault;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return usageError(("unknown option or missing value: " + arg).c_str());
    const std::string value = argv[++i];
    auto port = [&](int& out) {
      if (value.empty() || value.size() > 5 ||
          value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) > 65535)
        return false;
      out = std::stoi(value);
      return true;
    };
    if (arg == "--make-sample") return makeSampleRepository(value) ? 0 : 1;
    if (arg == "--repo") repo = value;
    else if (arg == "--listen") address = value;
    else if (arg == "--cert") cert = value;
    else if (arg == "--key") key = value;
    else if (arg == "--fixes") fixes = value;
    else if (arg == "--http") { if (!port(httpPort)) return usageError("bad port for --http"); }
    else if (arg == "--https") { if (!port(httpsPort)) return usageError("bad port for --https"); }
    else if (arg == "--fault") {
      fault = parseFault(value);
      if (!fault) return usageError(("unknown fault: " + value).c_str());
    } else {
      return usageError(("unknown option: " + arg).c_str());
    }
  }
  if (repo.empty()) return usageError("--repo <dir> is required");
  if (httpsPort >= 0 && (cert.empty() || key.empty()))
    return usageError("--https needs --cert and --key");
  if (httpPort < 0 && httpsPort < 0) httpPort = 0;
  signal(SIGPIPE, SIG_IGN);

  SSL_CTX* tls = nullptr;
  if (httpsPort >= 0) {
    tls = SSL_CTX_new(TLS_server_method());
    if (!tls || SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(tls, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls) != 1) {
      char reason[256];
      ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
      fprintf(stderr, "corelatch-update-server: cannot use %s / %s: %s\n", cert.c_str(),
              key.c_str(), reason);
      return 1;
    }
  }

  static Server server{Repository(repo, fixes), fault};
  std::vector<std::thread> loops;
  for (const auto& [scheme, wanted, ctx] :
       {std::tuple<const char*, int, SSL_CTX*>{"http", httpPort, nullptr},
        std::tuple<const char*, int, SSL_CTX*>{"https", httpsPort, tls}}) {
    if (wanted < 0) continue;
    int bound = 0;
    const int fd = listenOn(address, wanted, bound);
    if (fd < 0) {
      fprintf(stderr, "corelatch-update-server: cannot listen on %s:%d: %s\n", address.c_str(),
              wanted, strerror(errno));
      return 1;
    }
    printf("serving %s://%s:%d/cgi/u\n", scheme, address.c_str(), bound);
    fflush(stdout);
    loops.emplace_back(acceptLoop, std::cref(server), fd, ctx);
  }
  for (auto& loop : loops) loop.join();
  return 0;
}
