// Updater: parses the command line, prepares the store directory and runs the
// requested commands in their fixed order.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "aDirectory.h"
#include "server/HttpGet.h"
#include "updater/UpdaterApp.h"
#include "updater/UpdaterDisplay.h"
#include "updater/UpdaterOptions.h"

namespace {

const char* const kNotice = "Copyright (c) 2026 Vexalind. Keeps CoreLatch device firmware current.";

// The store directory, created with its parents; empty on failure.
std::string prepareStoreDirectory(UpdaterDisplayInterface* display, const UpdaterOptions& options) {
  std::string base = options.storeBase;
  char path[2048];
  if (base.empty()) {
    char home[2048];
    const aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      debugLog(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      return std::string();
    }
    if (aDirectory_JoinPath(path, sizeof path, home, ".vexalind") != aErrNone) return std::string();
    base = path;
  }
  if (aDirectory_JoinPath(path, sizeof path, base.c_str(), "updater") != aErrNone ||
      aDirectory_Ensure(path, 0755) != aErrNone) {
    // A path too long to join is named as it was meant, not as the cut buffer.
    const std::string wanted = base + (base.empty() || base.back() == '/' ? "" : "/") + "updater";
    displayPrint(display, kDisplayError, "Could not find updater directory at %s", wanted.c_str());
    return std::string();
  }
  return path;
}

int runCommands(UpdaterApp& app, UpdaterDisplayInterface* display, UpdaterOptions& options) {
  int status = 0;
  const uint32_t commands = options.commands;

  if (commands & kCmdFingerprint) {
    if (options.serialPort.empty()) {
      displayPrint(display, kDisplayError, "Must specify the serial port used for connecting");
      return 1;
    }
    uint32_t words[4] = {0, 0, 0, 0};
    if (app.Get_Fingerprint(options.serialPort, 0xDEADDEAD, options.birdFile, options.baudRate,
                            true, words)) {
      displayPrint(display, kDisplayInfo, "[ %08X %08X %08X %08X ]", words[0], words[1], words[2],
                   words[3]);
    } else {
      displayPrint(display, kDisplayError, "Got no response from chip");
      status = 1;
    }
  }

  if (commands & kCmdGetBuild) {
    if (options.deviceSerial == 0) {
      displayPrint(display, kDisplayError, "-G must specify a specific device via -d");
      displayPrint(display, kDisplayError, "--help for usage information");
      return 1;
    }
    displayPrint(display, kDisplayInfo, "Retrieving firmware for device with serial number %08X",
                 options.deviceSerial);
    if (options.buildText.empty()) {
      displayPrint(display, kDisplayInfo, "No build specified");
      displayPrint(display, kDisplayInfo, "Using Latest build");
    } else {
      displayPrint(display, kDisplayInfo, "Retrieving firmware build %s", options.buildText.c_str());
    }
    const uint32_t build = app.Download_Firmware(options.deviceSerial, options.buildText,
                                                 options.overrideModel, false);
    if (build != 0) {
      options.buildText = std::to_string(build);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (commands & kCmdDiscover) {
    int32_t transport =
        options.transportGiven && options.transport != kTransportRecover ? options.transport : 0;
    std::vector<DiscoveredDevice> found;
    if (options.routerSerial != 0) {
      displayPrint(display, kDisplayInfo, "Searching for CoreLatch Network devices connected to %08X",
                   options.routerSerial);
      found = app.Discover_Network(options.routerSerial, transport);
    } else {
      displayPrint(display, kDisplayInfo, "Searching for CoreLatch devices");
      if (transport == 0) transport = kTransportUSB;
      found = app.Discover_Devices(transport);
    }
    app.printDeviceTable(display, found, transport);
    return 0;
  }

  if (commands & kCmdUpdate) {
    const uint32_t build =
        options.buildText.empty() ? 0 : static_cast<uint32_t>(strtoul(options.buildText.c_str(), nullptr, 10));
    app.setUseUEIBytes(options.useUEIBytes);
    bool ok;
    if (options.transport == kTransportRecover) {
      ok = app.Recover_Firmware(options.serialPort, build, options.baudRate, options.deviceSerial,
                                options.birdFile, options.overrideModel);
    } else {
      if (options.deviceSerial == 0) {
        displayPrint(display, kDisplayError, "Must specify the specific device to be updated");
        return 1;
      }
      ok = app.Update_Firmware(options.deviceSerial, build, options.birdFile, options.moduleAddress,
                               options.routerSerial, options.overrideModel);
    }
    return ok ? 0 : 1;
  }

  if (commands & (kCmdListBuilds | kCmdListLocal)) {
    const bool local = !(commands & kCmdListBuilds);
    if (options.deviceSerial == 0) {
      displayPrint(display, kDisplayError,
                   local ? "Error must supply a serial number for the List Local Builds command"
                         : "Error must supply a serial number for the List Builds command");
      printUsage(false, false);
      return 1;
    }
    bool ok = true;
    const BuildList list = local ? app.Get_BuildListLocal(options.deviceSerial, &ok)
                                 : app.Get_BuildList(options.deviceSerial, &ok);
    app.printBuildList(display, list, options.deviceSerial);
    return ok ? 0 : 1;
  }

  if (commands & kCmdCheck) {
    if (options.birdFile.empty()) {
      displayPrint(display, kDisplayError, "Error must supply a BIRD file (-f) for the Check command");
      printUsage(false, false);
      return 1;
    }
    return app.Check_BirdFile(options.birdFile) ? 0 : 1;
  }

  if (commands & kCmdInfo) return app.Show_DeviceInfo(options.deviceSerial) ? 0 : 1;

  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI_Display display;
  setDebugOutput(stderr);
  // libcurl's global state is set up here, before the download worker can exist.
  httpGlobalInit();

  UpdaterOptions options;
  const int parsed = parseOptions(&display, argc, argv, options);

  displayPrint(&display, kDisplayInfo, "%s", versionLine().c_str());
  if (parsed != 0) {
    displayPrint(&display, kDisplayInfo, "%s", kNotice);
    printUsage(false, false);
    return 1;
  }
  if (options.helpRequested || (options.commands & ~kCmdHelp) == 0) {
    displayPrint(&display, kDisplayInfo, "%s", kNotice);
    printUsage(options.debugMaskGiven, options.helpRequested);
    return 0;
  }

  const std::string storeDirectory = prepareStoreDirectory(&display, options);
  if (storeDirectory.empty()) return 1;

  UpdaterApp app(options.serverUrl, storeDirectory, &display);
  app.setCaFile(options.caFile);
  return runCommands(app, &display, options);
}
