// The firmware repository the server offers: one folder per device serial
// number ("%08X") holding BIRD files named BUILD ".bird", read afresh on every
// request so that files can be added while the server runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Answer {
  int status = 200;
  std::string body;
};

struct RepoBuild {
  std::string build;    // decimal text, the file name without ".bird"
  std::string version;  // from the file's descriptor
  std::string path;
};

class Repository {
 public:
  Repository(std::string root, std::string fixesFile);

  // One request's answer, from its decoded query parameters.
  Answer answer(const std::map<std::string, std::string>& query) const;

  // The builds of a device, newest version first.
  std::vector<RepoBuild> builds(const std::string& serial) const;
  // The token that GetBuild must bring back for a device.
  static std::string firmwareToken(const std::string& serial);

 private:
  Answer buildList(const std::string& serial) const;
  Answer latest(const std::string& serial) const;
  Answer bird(const std::map<std::string, std::string>& query) const;
  Answer fix(const std::string& fingerprint) const;

  std::string root_;
  std::string fixesFile_;
};

std::string encodeBase64(const std::string& bytes);
