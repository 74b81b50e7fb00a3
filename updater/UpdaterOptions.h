// The command line turned into one record.
#pragma once

#include <cstdint>
#include <string>

class UpdaterDisplayInterface;

// Built-in update server; -u, --http and --https choose another.
#define UPDATE_HOST "update.vexalind.net"

enum : uint32_t {
  kCmdDiscover = 0x00000001,     // -D
  kCmdUpdate = 0x00000002,       // -U
  kCmdListBuilds = 0x00000004,   // -B
  kCmdGetBuild = 0x00000008,     // -G
  kCmdInfo = 0x00000010,         // -I
  kCmdCheck = 0x00000020,        // -C
  kCmdFingerprint = 0x00000040,  // -N
  kCmdZ = 0x00000080,            // -Z
  kCmdListLocal = 0x00000200,    // -L
  kCmdHelp = 0x80000000,         // -h, -H, --help
};

enum : int32_t {
  kTransportNone = 0,
  kTransportUSB = 1,
  kTransportTCPIP = 2,
  kTransportRecover = 255,
};

struct UpdaterOptions {
  uint32_t commands = 0;
  uint32_t deviceSerial = 0;
  uint32_t routerSerial = 0;
  int32_t transport = kTransportUSB;
  bool transportGiven = false;
  std::string serialPort;
  int32_t baudRate = 115200;
  int32_t moduleAddress = 0;
  std::string birdFile;
  std::string historyMessage;
  std::string buildText;
  bool echoBytes = false;
  std::string serverUrl = "http://" UPDATE_HOST "/cgi/u";
  bool nFlag = false;
  std::string storeBase;
  std::string programName;
  std::string homeDirectory;
  std::string logFileMode = "a+";
  std::string logFileName = "Updater.log";
  bool overrideModel = false;
  bool useUEIBytes = true;
  uint32_t debugMask = 0;
  bool debugMaskGiven = false;
  bool helpRequested = false;
  // Extra CA certificate file trusted for the update server, besides the system's.
  std::string caFile;
};

// 0 when the command line is acceptable, 1 when an error was printed.
int parseOptions(UpdaterDisplayInterface* display, int argc, const char* const* argv,
                 UpdaterOptions& options);

// Usage texts to standard error: short always, parameters when full, extended
// when full and extended, samples when full.
void printUsage(bool extended, bool full);

// "Updater (Version: 2.12.4 <build date>)"
std::string versionLine();
