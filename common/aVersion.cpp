#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint32_t kPatch = 4;

constexpr uint32_t kCurrentFormat = 0x2F000000u;

constexpr char kFeatureName[] = "VERSION";
constexpr char kFeatureDescription[] = "Version Query API";
constexpr char kFeatureSeparator[] = " - ";

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor >= 15))
    return kCurrentFormat | (static_cast<uint32_t>(major) << 16) |
           (static_cast<uint32_t>(minor) << 8) | patch;
  return (static_cast<uint32_t>(major) << 28) | (static_cast<uint32_t>(minor & 0x0F) << 24) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed) { return packed < kCurrentFormat; }

uint8_t aVersion_ParseMajor(uint32_t packed) {
  if (aVersion_IsLegacyFormat(packed)) return static_cast<uint8_t>(packed >> 28);
  return static_cast<uint8_t>((packed >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
  if (aVersion_IsLegacyFormat(packed)) return static_cast<uint8_t>((packed >> 24) & 0x0F);
  return static_cast<uint8_t>((packed >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
  if (aVersion_IsLegacyFormat(packed)) return packed & 0x00FFFFFFu;
  return packed & 0xFFu;
}

int aVersion_ParseString(uint32_t packed, char* text, size_t size) {
  if (text == nullptr && size != 0) return -1;
  return snprintf(text, size, "%u.%u.%u", static_cast<unsigned>(aVersion_ParseMajor(packed)),
                  static_cast<unsigned>(aVersion_ParseMinor(packed)),
                  static_cast<unsigned>(aVersion_ParsePatch(packed)));
}

uint8_t aVersion_GetMajor(void) { return kMajor; }

uint8_t aVersion_GetMinor(void) { return kMinor; }

uint32_t aVersion_GetPatch(void) { return kPatch; }

const char* aVersion_GetString(void) {
  // Built once; the static initialisation is thread-safe, so racing first
  // callers never write the buffer at the same time.
  struct Text {
    char value[15];
    Text() { snprintf(value, sizeof value, "%d.%d%s%d", kMajor, kMinor, ".", static_cast<int>(kPatch)); }
  };
  static const Text text;
  return text.value;
}

bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB) {
  if (majorA != majorB) return majorA > majorB;
  if (minorA != minorB) return minorA > minorB;
  return patchA >= patchB;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(kMajor, kMinor, static_cast<uint8_t>(kPatch), major, minor, patch);
}

char* aVersion_GetFeatureList(void) {
  const size_t length = strlen(kFeatureName) + strlen(kFeatureSeparator) + strlen(kFeatureDescription);
  char* list = static_cast<char*>(malloc(length + 1));
  if (list == nullptr) return nullptr;
  snprintf(list, length + 1, "%s%s%s", kFeatureName, kFeatureSeparator, kFeatureDescription);
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}

bool aVersion_HasFeature(const char* feature) {
  return feature != nullptr && strcmp(feature, kFeatureName) == 0;
}
