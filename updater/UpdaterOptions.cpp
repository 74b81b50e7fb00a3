// Command-line grammar: exact or unique-prefix option names, "=" arguments,
// "/" as an option prefix, refused arguments examined as options, help ending
// parsing at once, and option errors collected until the end.
#include "updater/UpdaterOptions.h"

#include <cstring>
#include <vector>

#include "aDirectory.h"
#include "updater/UpdaterDisplay.h"

namespace {

enum class Opt {
  B, L, D, G, I, U, Override, N, Y, C, Help, NFlag, X, Z, M, StoreDir, Build, Device,
  Transport, File, Router, Port, Baud, Echo, LogMessage, LogFile, Url, Https, Http, CaCert
};

struct OptionEntry {
  const char* name;
  Opt id;
  bool takesArgument;
};

const OptionEntry kOptions[] = {
    {"-B", Opt::B, false},          {"-L", Opt::L, false},
    {"-D", Opt::D, false},          {"-G", Opt::G, false},
    {"-I", Opt::I, false},          {"-U", Opt::U, false},
    {"-OVERRIDE", Opt::Override, false}, {"-N", Opt::N, false},
    {"-Y", Opt::Y, false},          {"-C", Opt::C, false},
    {"-h", Opt::Help, false},       {"-H", Opt::Help, false},
    {"--help", Opt::Help, false},   {"-n", Opt::NFlag, false},
    {"-X", Opt::X, true},           {"-Z", Opt::Z, true},
    {"-m", Opt::M, true},           {"-i", Opt::StoreDir, true},
    {"-b", Opt::Build, true},       {"-d", Opt::Device, true},
    {"-t", Opt::Transport, true},   {"-f", Opt::File, true},
    {"-r", Opt::Router, true},      {"-s", Opt::Port, true},
    {"-o", Opt::Baud, true},        {"-e", Opt::Echo, false},
    {"-l", Opt::LogMessage, true},  {"-k", Opt::LogFile, true},
    {"-u", Opt::Url, true},         {"--https", Opt::Https, false},
    {"--http", Opt::Http, false},   {"--cacert", Opt::CaCert, true},
};

size_t leadingHyphens(const std::string& text) {
  size_t n = 0;
  while (n < text.size() && text[n] == '-') ++n;
  return n;
}

// Exact name, or a proper prefix of exactly one name with the same number of
// leading hyphens and at least one character after them.
const OptionEntry* findOption(const std::string& text) {
  for (const auto& entry : kOptions)
    if (text == entry.name) return &entry;
  const size_t hyphens = leadingHyphens(text);
  if (hyphens == 0 || hyphens == text.size()) return nullptr;
  const OptionEntry* found = nullptr;
  for (const auto& entry : kOptions) {
    const std::string name = entry.name;
    if (leadingHyphens(name) != hyphens || name.size() <= text.size()) continue;
    if (name.compare(0, text.size(), text) != 0) continue;
    if (found) return nullptr;  // ambiguous
    found = &entry;
  }
  return found;
}

// "/x" stands for "-x" when x is not a hyphen.
bool isSlashOption(const char* arg) { return arg[0] == '/' && arg[1] != '\0' && arg[1] != '-'; }

bool looksLikeOption(const char* arg) { return arg[0] == '-' || isSlashOption(arg); }

const OptionEntry* findOption(const std::string& text);

// The word after an option that takes an argument. A word beginning with "-"
// is refused; one beginning with "/" is refused only when it names an option,
// so that absolute paths ("-s /dev/ttyUSB0", "-i /srv/fw") are arguments while
// "-d /U" still refuses -d and sees -U.
bool refusedAsArgument(const char* word) {
  if (word[0] == '-') return true;
  if (!isSlashOption(word)) return false;
  std::string text = word;
  text[0] = '-';
  const size_t eq = text.find('=');
  return findOption(eq == std::string::npos ? text : text.substr(0, eq)) != nullptr;
}

bool allOf(const std::string& text, int (*test)(int)) {
  for (unsigned char c : text)
    if (!test(c)) return false;
  return true;
}

uint64_t digitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint64_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint64_t>(c - 'a' + 10);
  return static_cast<uint64_t>(c - 'A' + 10);
}

// Reads digits of the base from the start of text, saturating at 32 bits; the
// index of the first character not read goes to *end.
uint32_t readNumber(const std::string& text, int base, size_t* end) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (base == 16 ? !isxdigit(c) : !isdigit(c)) break;
    value = value * static_cast<uint64_t>(base) + digitValue(static_cast<char>(c));
    if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull + 1;  // stays saturated
  }
  if (end) *end = i;
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

struct Parser {
  UpdaterDisplayInterface* display;
  UpdaterOptions& options;
  bool error = false;
  int serverChoices = 0;

  uint32_t serialNumber(std::string word, const char* prefixTrace, const char* invalidText) {
    if (startsWith(word, "0x") || startsWith(word, "0X")) {
      word.erase(0, 2);
      debugLog(DEBUG_Updater, "%s", prefixTrace);
    }
    const uint32_t value = allOf(word, isxdigit) ? readNumber(word, 16, nullptr) : 0;
    if (value == 0) {
      displayPrint(display, kDisplayError, invalidText, word.c_str());
      error = true;
    }
    return value;
  }

  void debugMask(const std::string& optionText, const std::string& word) {
    options.debugMaskGiven = true;
    size_t end = 0;
    uint32_t value;
    if (startsWith(word, "0x") || startsWith(word, "0X")) {
      value = readNumber(word.substr(2), 16, &end);
      end += 2;
    } else {
      value = readNumber(word, 10, &end);
    }
    options.debugMask = value;
    if (end < word.size()) {
      displayPrint(display, kDisplayError,
                   "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                   optionText.c_str(), word.c_str() + end);
      return;
    }
    setDebugMask(value);
  }

  void transport(const std::string& word) {
    options.transportGiven = true;
    if (startsWith(word, "USB")) {
      options.transport = kTransportUSB;
    } else if (startsWith(word, "TCP")) {
      options.transport = kTransportTCPIP;
    } else if (startsWith(word, "RECOVER")) {
      options.transport = kTransportRecover;
    } else {
      displayPrint(display, kDisplayError,
                   "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                   word.c_str());
      options.transport = kTransportNone;
      error = true;
    }
  }

  // Answers true when parsing must stop (help).
  bool apply(const OptionEntry& entry, const std::string& optionText, const std::string& word) {
    switch (entry.id) {
      case Opt::B: options.commands |= kCmdListBuilds; break;
      case Opt::L: options.commands |= kCmdListLocal; break;
      case Opt::D: options.commands |= kCmdDiscover; break;
      case Opt::G: options.commands |= kCmdGetBuild; break;
      case Opt::I: options.commands |= kCmdInfo; break;
      case Opt::U: options.commands |= kCmdUpdate; break;
      case Opt::Override: options.overrideModel = true; break;
      case Opt::N: options.commands |= kCmdFingerprint; break;
      case Opt::Y:
        displayPrint(display, kDisplayError, "Unhandled command: [%s]", optionText.c_str());
        error = true;
        break;
      case Opt::C: options.commands |= kCmdCheck; break;
      case Opt::Help:
        options.commands |= kCmdHelp;
        options.helpRequested = true;
        return true;
      case Opt::NFlag: options.nFlag = true; break;
      case Opt::X: debugMask(optionText, word); break;
      case Opt::Z: options.commands |= kCmdZ; break;
      case Opt::M: options.useUEIBytes = startsWith(word, "1") || startsWith(word, "true"); break;
      case Opt::StoreDir: options.storeBase = word; break;
      case Opt::Build: {
        const uint32_t build = allOf(word, isdigit) ? readNumber(word, 10, nullptr) : 0;
        options.buildText = std::to_string(build);
        break;
      }
      case Opt::Device:
        options.deviceSerial = serialNumber(word, "Discarding '0x' serial number prefix\n",
                                            "Invalid serial number obtained from argument [%s]");
        break;
      case Opt::Transport: transport(word); break;
      case Opt::File: options.birdFile = word; break;
      case Opt::Router:
        options.routerSerial =
            serialNumber(word, "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]");
        break;
      case Opt::Port: options.serialPort = word; break;
      case Opt::Baud: {
        const uint32_t baud = allOf(word, isdigit) ? readNumber(word, 10, nullptr) : 0;
        options.baudRate = baud > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(baud);
        break;
      }
      case Opt::Echo: options.echoBytes = true; break;
      case Opt::LogMessage: options.historyMessage = word; break;
      case Opt::LogFile: options.logFileName = word; break;
      case Opt::Url:
        options.serverUrl = word;
        ++serverChoices;
        break;
      case Opt::Https:
        options.serverUrl = "https://" UPDATE_HOST "/cgi/u";
        ++serverChoices;
        break;
      case Opt::Http:
        options.serverUrl = "http://" UPDATE_HOST "/cgi/u";
        ++serverChoices;
        break;
      case Opt::CaCert: options.caFile = word; break;
    }
    return false;
  }
};

std::string lastPathComponent(const char* path) {
  if (!path) return std::string();
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

}  // namespace

int parseOptions(UpdaterDisplayInterface* display, int argc, const char* const* argv,
                 UpdaterOptions& options) {
  options.programName = lastPathComponent(argc > 0 ? argv[0] : nullptr);
  char home[2048];
  if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) options.homeDirectory = home;

  Parser parser{display, options};
  bool helpSeen = false;
  for (int i = 1; i < argc && !helpSeen; ++i) {
    const char* arg = argv[i];
    if (!looksLikeOption(arg)) continue;  // set aside, never used
    std::string text = arg;
    if (isSlashOption(arg)) text[0] = '-';

    std::string optionText = text;
    std::string word;
    bool hasInlineArgument = false;
    const size_t eq = text.find('=');
    if (eq != std::string::npos) {
      optionText = text.substr(0, eq);
      word = text.substr(eq + 1);
      hasInlineArgument = true;
    }
    const OptionEntry* entry = findOption(optionText);
    if (!entry) continue;
    if (entry->takesArgument && !hasInlineArgument) {
      // A missing or option-like word refuses the option; the word itself is
      // then examined in its own right on the next turn.
      if (i + 1 >= argc || refusedAsArgument(argv[i + 1])) continue;
      word = argv[++i];
    } else if (!entry->takesArgument && hasInlineArgument) {
      continue;
    }
    helpSeen = parser.apply(*entry, optionText, word);
  }

  if (!helpSeen && parser.serverChoices >= 2) {
    displayPrint(display, kDisplayError,
                 "Multiple update server URLs specified. Choose one of: --https, --http, or -U "
                 "<host:port>.");
    parser.error = true;
  }

  debugLog(DEBUG_APP, "\nApplication parameters:[%s]\n", options.programName.c_str());
  for (int i = 0; i < argc; ++i) debugLog(DEBUG_APP, "\t[%s]\n", argv[i]);

  return helpSeen || !parser.error ? 0 : 1;
}
