// The shared library as a user loads it: the flat interface is there with C
// linkage (plain names), and the calls work through the loaded copy.
#include <dlfcn.h>
#include <gtest/gtest.h>

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

TEST_F(SharedLibrary, SupportFamiliesAreExportedByPlainName) {
  for (const char* name :
       {"aError_GetErrorText", "aError_GetErrorDescription", "aFile_Open", "aFile_ReadLine",
        "aFile_Printf", "aDirectory_BuildPath", "aDirectory_Ensure", "aDirectory_GetHomeDirectory",
        "aTime_GetMSTicks", "aTime_MSSleep", "aVersion_Pack", "aVersion_GetString",
        "aDefs_GetModelName", "aMutex_Create", "aMutex_Destroy", "aLogger_Create",
        "aLogger_Destroy"}) {
    EXPECT_NE(symbol(name), nullptr) << name;
  }
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
