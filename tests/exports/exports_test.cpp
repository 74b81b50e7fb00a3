// The shared library as a user loads it: the flat interface is there with C
// linkage (plain names), and the calls work through the loaded copy.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "TestSupport.h"

namespace {

class SharedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = std::string(CL_BIN_DIR) + "/../lib/libcorelatch.so";
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  void* symbol(const char* name) { return dlsym(handle_, name); }
  void* handle_ = nullptr;
};

// Every function a header of the flat interface marks for export.
std::set<std::string> declaredExports() {
  std::set<std::string> names;
  const std::string dir = cltest::sourcePath("common");
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  const std::regex declaration(R"(aLIBEXPORT\s[^;]*?\b(a[A-Z][A-Za-z0-9]*_\w+|aVALIDPACKET)\s*\()");
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 3 || name.compare(name.size() - 2, 2, ".h") != 0) continue;
    const std::string text = cltest::readFile(dir + "/" + name);
    for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it)
      names.insert((*it)[1].str());
  }
  closedir(d);
  return names;
}

TEST_F(SharedLibrary, EveryDeclaredFunctionIsExportedByPlainName) {
  const auto names = declaredExports();
  // The support, packet, stream and link families at least.
  for (const char* known : {"aError_GetErrorText", "aFile_Printf", "aDirectory_Ensure",
                            "aVersion_Pack", "aMutex_Create", "aLogger_Create", "aPacket_Create",
                            "aPacketFifo_AwaitFirst", "aStream_Read", "aLink_CreateTCPIP"}) {
    EXPECT_EQ(names.count(known), 1u) << known;
  }
  for (const auto& name : names) EXPECT_NE(symbol(name.c_str()), nullptr) << name;
}

TEST_F(SharedLibrary, CallsThroughTheLoadedLibraryWork) {
  using TextFn = const char* (*)(int);
  auto text = reinterpret_cast<TextFn>(symbol("aError_GetErrorText"));
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text(3), "aErrNotFound");
  using VersionFn = const char* (*)();
  auto version = reinterpret_cast<VersionFn>(symbol("aVersion_GetString"));
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version(), "2.12.4");
}

TEST_F(SharedLibrary, StandardLibraryInstancesStayInside) {
  // A template instance the library uses internally must not leak into its
  // exported surface, where it could clash with a user's own copy.
  EXPECT_EQ(symbol("_ZNSt6vectorIcSaIcEE17_M_default_appendEm"), nullptr);
}

}  // namespace
