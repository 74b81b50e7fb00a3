#include "Repository.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "firmware/BirdFile.h"
#include "server/ServerCommClass.h"

namespace {

bool isSerialText(const std::string& text) {
  return text.size() == 8 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isdigit(c) || (c >= 'A' && c <= 'F');
         });
}

// A build Updater can ask for: 1 to 2^32-1 in canonical decimal, so that the
// file name and the number in a request are the same text.
bool isBuildText(const std::string& text) {
  return !text.empty() && text.size() <= 10 && text[0] != '0' &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }) &&
         std::stoull(text) <= UINT32_MAX;
}

std::string param(const std::map<std::string, std::string>& query, const char* key) {
  auto it = query.find(key);
  return it == query.end() ? std::string() : it->second;
}

Answer refuse(const std::string& why) { return {200, "error: " + why + "\n"}; }

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  bytes = out.str();
  return true;
}

// Hex words compared by value, so that case and leading zeros do not matter.
bool readWords(std::istream& in, uint32_t words[4]) {
  for (int i = 0; i < 4; ++i) {
    std::string word;
    if (!(in >> word) || word.size() > 8 ||
        !std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isxdigit(c); }))
      return false;
    words[i] = static_cast<uint32_t>(std::stoul(word, nullptr, 16));
  }
  return true;
}

}  // namespace

std::string encodeBase64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t bits = 0;
    for (size_t k = 0; k < 3; ++k)
      bits = (bits << 8) | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      out += k <= n ? kAlphabet[(bits >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

Repository::Repository(std::string root, std::string fixesFile)
    : root_(std::move(root)), fixesFile_(std::move(fixesFile)) {}

std::string Repository::firmwareToken(const std::string& serial) {
  // FNV-1a: a stable per-device value, not a secret.
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : "corelatch-update-server:" + serial) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char text[20];
  snprintf(text, sizeof text, "%016" PRIX64, hash);
  return text;
}

std::vector<RepoBuild> Repository::builds(const std::string& serial) const {
  std::vector<RepoBuild> found;
  if (!isSerialText(serial)) return found;
  const std::string folder = root_ + "/" + serial;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".bird") != 0) continue;
    const std::string build = name.substr(0, name.size() - 5);
    if (!isBuildText(build)) continue;
    const std::string path = folder + "/" + name;
    try {
      if (!BirdFile::isBirdFile(path)) throw std::runtime_error("not a BIRD file");
      found.push_back({build, BirdFile(path).versionText(), path});
    } catch (const std::exception& e) {
      fprintf(stderr, "corelatch-update-server: skipping %s: %s\n", path.c_str(), e.what());
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end(), [](const RepoBuild& a, const RepoBuild& b) {
    const BuildEntry ea{a.build, a.version}, eb{b.build, b.version};
    if (ServerCommClass::_sortVersion(ea, eb)) return true;
    if (ServerCommClass::_sortVersion(eb, ea)) return false;
    return std::stoull(a.build) > std::stoull(b.build);
  });
  return found;
}

Answer Repository::answer(const std::map<std::string, std::string>& query) const {
  const std::string op = param(query, "op");
  if (op == "hi") return {200, "ok corelatch-update-server\n"};
  if (op == "qu") return latest(param(query, "sn"));
  if (op == "builds") return buildList(param(query, "sn"));
  if (op == "bird") return bird(query);
  if (op == "fix") return fix(param(query, "fp"));
  return refuse("unknown operation [" + op + "]");
}

Answer Repository::buildList(const std::string& serial) const {
  if (!isSerialText(serial)) return refuse("bad serial number");
  std::string body = "ok\n";
  for (const RepoBuild& b : builds(serial)) body += b.build + ";" + b.version + "\n";
  return {200, body};
}

Answer Repository::latest(const std::string& serial) const {
  if (!isSerialText(serial)) return refuse("bad serial number");
  const std::vector<RepoBuild> list = builds(serial);
  if (list.empty()) return refuse("no builds for device " + serial);
  return {200, "ok\n" + list.front().build + "\n" + firmwareToken(serial) + "\n"};
}

Answer Repository::bird(const std::map<std::string, std::string>& query) const {
  const std::string serial = param(query, "sn");
  const std::string build = param(query, "bld");
  if (!isSerialText(serial)) return refuse("bad serial number");
  if (!isBuildText(build)) return refuse("bad build number");
  if (param(query, "fw") != firmwareToken(serial)) return refuse("firmware token does not match");
  std::string bytes;
  if (!readWholeFile(root_ + "/" + serial + "/" + build + ".bird", bytes))
    return refuse("no build " + build + " for device " + serial);
  return {200, "ok\n" + encodeBase64(bytes) + "\n"};
}

Answer Repository::fix(const std::string& fingerprint) const {
  std::istringstream request(fingerprint);
  uint32_t wanted[4];
  if (!readWords(request, wanted)) return refuse("bad fingerprint");
  std::ifstream fixes(fixesFile_);
  std::string line;
  while (std::getline(fixes, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    uint32_t words[4];
    std::string serial, build;
    if (!readWords(in, words) || !(in >> serial >> build)) continue;
    if (std::equal(words, words + 4, wanted)) return {200, "ok\n" + serial + "\n" + build + "\n"};
  }
  return refuse("unknown fingerprint");
}
