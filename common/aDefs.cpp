#include "aDefs.h"

#include <string.h>

namespace {

struct ModelEntry {
  uint32_t code;
  const char* name;
};

// One name per model code; BIRD descriptors and the device simulator name
// models by these same texts, so a name never changes once shipped.
const ModelEntry kModels[] = {
    {4, "CL-Probe1"},       {5, "CL-Switch2"},     {13, "CL-USBHub2"},    {14, "CL-USBHub4"},
    {15, "CL-USBHub8"},     {16, "CL-PowerRail"},  {17, "CL-PowerSwitch"}, {18, "CL-Router"},
    {19, "CL-EtherBridge"}, {20, "CL-ServoDrive"}, {21, "CL-SensorPad"},  {22, "CL-SignalIO"},
    {23, "CL-AnalogIn8"},   {24, "CL-DigitalIO16"}, {25, "CL-RelayBank"}, {26, "CL-TempLogger"},
    {27, "CL-HubPro12"},
};

constexpr char kUnknownModel[] = "Unknown";

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelEntry& entry : kModels) {
    if (entry.code == model) return entry.name;
  }
  return kUnknownModel;
}

uint32_t aDefs_GetModelCode(const char* name) {
  if (name == nullptr) return 0;
  for (const ModelEntry& entry : kModels) {
    if (strcmp(entry.name, name) == 0) return entry.code;
  }
  return 0;
}
