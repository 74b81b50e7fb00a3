// Test helpers around the reference update server: run it in the background
// on free loopback ports, and make a private CA and a server certificate for
// it with the openssl command line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace cltest {

class ReferenceServer {
 public:
  // Starts corelatch-update-server with the arguments and waits for the
  // "serving <url>" line of each listener.
  explicit ReferenceServer(const std::vector<std::string>& args, const std::string& logFile) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string program = binPath("corelatch-update-server");
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(out[1], 1);
      const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log >= 0) dup2(log, 2);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    int listeners = 0;
    for (const auto& a : args) listeners += (a == "--http" || a == "--https");
    if (listeners == 0) listeners = 1;
    std::string text;
    while (static_cast<int>(urls_.size()) < listeners) {
      pollfd p{out[0], POLLIN, 0};
      char buffer[256];
      if (poll(&p, 1, 10000) <= 0) break;
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      size_t eol;
      while ((eol = text.find('\n')) != std::string::npos) {
        const std::string line = text.substr(0, eol);
        text.erase(0, eol + 1);
        if (line.compare(0, 8, "serving ") == 0) urls_.push_back(line.substr(8));
      }
    }
    close(out[0]);
    if (static_cast<int>(urls_.size()) < listeners) {
      stop();
      throw std::runtime_error("reference server did not start: " + readFile(logFile));
    }
  }
  ~ReferenceServer() { stop(); }
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  // The base URL of the listener with this scheme ("http" or "https").
  std::string url(const std::string& scheme = "http") const {
    for (const auto& u : urls_)
      if (u.compare(0, scheme.size() + 3, scheme + "://") == 0) return u;
    throw std::runtime_error("no " + scheme + " listener");
  }
  // The same server, asked to answer with a fault: /fault/<spec>/cgi/u.
  std::string faultUrl(const std::string& spec, const std::string& scheme = "http") const {
    std::string base = url(scheme);
    base.resize(base.size() - 6);  // "/cgi/u"
    return base + "/fault/" + spec + "/cgi/u";
  }

 private:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  std::vector<std::string> urls_;
};

// A CA and a server certificate signed by it, for the names given
// (subjectAltName syntax, e.g. "IP:127.0.0.1,DNS:localhost").
struct TestCertificates {
  std::string caCert, serverCert, serverKey;
};

inline void openssl(const std::vector<std::string>& args) {
  RunResult r = runProgram("/usr/bin/openssl", args);
  if (r.status != 0) throw std::runtime_error("openssl failed: " + r.err);
}

inline TestCertificates makeTestCertificates(const std::string& dir, const std::string& names,
                                             const std::string& prefix = "test") {
  TestCertificates c{dir + "/" + prefix + "-ca.pem", dir + "/" + prefix + "-server.pem",
                     dir + "/" + prefix + "-server.key"};
  const std::string caKey = dir + "/" + prefix + "-ca.key", csr = dir + "/" + prefix + ".csr",
                    ext = dir + "/" + prefix + ".ext";
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", caKey, "-out", c.caCert, "-days", "2", "-subj", "/CN=CoreLatch Test CA"});
  openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", c.serverKey, "-out", csr, "-subj", "/CN=test update server"});
  writeFile(ext, "subjectAltName=" + names +
                     "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
  openssl({"x509", "-req", "-in", csr, "-CA", c.caCert, "-CAkey", caKey, "-CAcreateserial",
           "-out", c.serverCert, "-days", "2", "-extfile", ext});
  return c;
}

}  // namespace cltest
