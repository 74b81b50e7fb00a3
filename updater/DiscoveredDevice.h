// One device found by discovery.
#pragma once

#include <cstdint>
#include <string>

#include "aError.h"

struct DiscoveredDevice {
  uint16_t busAddress = 0;
  uint32_t build = 0;
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  std::string deviceName;
  aErr error = aErrNone;
};
