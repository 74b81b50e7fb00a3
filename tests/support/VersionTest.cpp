// Packed versions, the library's version and features, model names, error
// names and millisecond time.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aTime.h"
#include "aVersion.h"

namespace {

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t packed;
};

TEST(VersionPack, ChoosesTheFormatByVersion) {
  const std::vector<PackCase> cases = {
      {2, 12, 4, 0x2C000004u}, {2, 15, 0, 0x2F020F00u}, {3, 0, 1, 0x2F030001u},
      {1, 2, 3, 0x12000003u},  {2, 14, 255, 0x2E0000FFu}, {0, 0, 0, 0x00000000u},
      {255, 255, 255, 0x2FFFFFFFu},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
    EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed);
    EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
  }
}

TEST(VersionPack, LegacyKeepsOnlyFourBitsOfMinor) {
  EXPECT_EQ(aVersion_Pack(1, 0x1F, 0), 0x1F000000u);
  EXPECT_EQ(aVersion_ParseMinor(aVersion_Pack(1, 0x1F, 0)), 15);
}

struct UnpackCase {
  uint32_t packed;
  bool legacy;
  uint8_t major, minor;
  uint32_t patch;
  const char* text;
};

TEST(VersionUnpack, ReadsBothLayouts) {
  const std::vector<UnpackCase> cases = {
      {0x2EFFFFFFu, true, 2, 14, 16777215u, "2.14.16777215"},
      {0x2F000000u, false, 0, 0, 0, "0.0.0"},
      {0x30010203u, false, 1, 2, 3, "1.2.3"},
      {0xFFFFFFFFu, false, 255, 255, 255, "255.255.255"},
      {0x1F123456u, true, 1, 15, 0x123456u, "1.15.1193046"},
      {0x2C000004u, true, 2, 12, 4, "2.12.4"},
      {0x00000000u, true, 0, 0, 0, "0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.packed);
    EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
    char text[32];
    EXPECT_EQ(aVersion_ParseString(c.packed, text, sizeof text), int(strlen(c.text)));
    EXPECT_STREQ(text, c.text);
  }
}

TEST(VersionUnpack, ParseStringIsBoundedByTheBuffer) {
  char text[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(aVersion_ParseString(0x2F0A0B0Cu, text, sizeof text), 8);
  EXPECT_STREQ(text, "10.1");
  EXPECT_EQ(aVersion_ParseString(0x2F0A0B0Cu, nullptr, 0), 8);
}

TEST(VersionLibrary, IsTwoTwelveFour) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 4u);
  EXPECT_STREQ(aVersion_GetString(), "2.12.4");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 4));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 200));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 5));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(VersionCompare, MajorThenMinorThenPatch) {
  struct Case {
    uint8_t a[3], b[3];
    bool atLeast;
  };
  const std::vector<Case> cases = {
      {{2, 10, 4}, {2, 10, 4}, true},  {{2, 9, 200}, {2, 10, 0}, false},
      {{2, 10, 5}, {2, 10, 4}, true},  {{2, 10, 3}, {2, 10, 4}, false},
      {{3, 0, 0}, {2, 255, 255}, true}, {{1, 255, 255}, {2, 0, 0}, false},
      {{2, 11, 0}, {2, 10, 255}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast)
        << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0]) << "."
        << int(c.b[1]) << "." << int(c.b[2]);
  }
}

TEST(VersionFeatures, OneFeatureNamedExactly) {
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);
  aVersion_DestroyFeatureList(nullptr);
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature("VERSION "));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
}

TEST(ModelNames, KnownCodesHaveDistinctShortNames) {
  std::vector<uint32_t> known = {4, 5};
  for (uint32_t code = 13; code <= 27; ++code) known.push_back(code);
  std::set<std::string> names;
  for (uint32_t code : known) {
    SCOPED_TRACE(code);
    const std::string name = aDefs_GetModelName(code);
    EXPECT_NE(name, "Unknown");
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 16u);
    EXPECT_EQ(name.find(' '), std::string::npos);
    names.insert(name);
    EXPECT_EQ(aDefs_GetModelCode(name.c_str()), code);
  }
  EXPECT_EQ(names.size(), known.size());
}

TEST(ModelNames, OtherCodesAreUnknown) {
  for (uint32_t code : {0u, 1u, 3u, 6u, 12u, 28u, 255u, 256u + 4u, 0xFFFFFFFFu}) {
    ASSERT_NE(aDefs_GetModelName(code), nullptr);
    EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
  }
  EXPECT_EQ(aDefs_GetModelCode("Unknown"), 0u);
  EXPECT_EQ(aDefs_GetModelCode(""), 0u);
  EXPECT_EQ(aDefs_GetModelCode(nullptr), 0u);
  const std::string lower = [] {
    std::string s = aDefs_GetModelName(14);
    for (char& ch : s) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return s;
  }();
  EXPECT_EQ(aDefs_GetModelCode(lower.c_str()), 0u);
}

TEST(ErrorNames, TableAndOutOfRangeValues) {
  struct Case {
    int32_t value;
    const char* name;
    const char* description;
  };
  const std::vector<Case> cases = {
      {0, "aErrNone", "Success, no error"},
      {3, "aErrNotFound", "Not found"},
      {27, "aErrShortCommand", "CoreLatch command to short"},
      {34, "aErrUnknown", "Unknown error"},
      {35, "aErrUnknown", "Unknown error"},
      {1000, "aErrUnknown", "Unknown error"},
      {-1, "aErrUnknown", "Unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(c.value)), c.name) << c.value;
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(c.value)), c.description) << c.value;
  }
}

TEST(Time, TicksAdvanceAcrossASleep) {
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  const uint32_t before = aTime_GetMSTicks();
  EXPECT_EQ(aTime_MSSleep(20), aErrNone);
  const uint32_t elapsed = aTime_GetMSTicks() - before;
  EXPECT_GE(elapsed, 20u);
}

}  // namespace
