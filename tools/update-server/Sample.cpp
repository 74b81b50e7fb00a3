#include "Sample.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "aDefs.h"
#include "firmware/BirdWriter.h"

namespace {

// Image bytes that compress about as badly as real firmware does.
ByteVector imageBytes(uint32_t seed, size_t size) {
  ByteVector bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

struct SampleBuild {
  const char* serial;
  uint32_t model;
  const char* build;
  const char* version;
};

const SampleBuild kBuilds[] = {
    {"40F5849A", 14, "99527000", "2.9.10"},
    {"40F5849A", 14, "99528100", "2.10.4"},
    {"40F5849A", 14, "99528558", "2.12.4"},
    {"2181F0EE", 18, "1200", "2.11.0"},
};

}  // namespace

bool makeSampleRepository(const std::string& dir) {
  for (const SampleBuild& s : kBuilds) {
    const std::string folder = dir + "/" + s.serial;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const uint32_t seed = static_cast<uint32_t>(std::stoul(s.build));
    BirdWriter writer;
    writer.addDescriptor("CoreLatch", s.version, s.serial, aDefs_GetModelName(s.model))
        .addLoader(0x20000000, imageBytes(seed, 1024))
        .addSerialRecord(0x00008100, 0x00008200)
        .addFirmware(0x00008000, imageBytes(seed + 1, 16384));
    const std::string path = folder + "/" + s.build + ".bird";
    if (!writer.writeFile(path)) {
      fprintf(stderr, "corelatch-update-server: cannot write %s\n", path.c_str());
      return false;
    }
    printf("wrote %s (%s, version %s)\n", path.c_str(), aDefs_GetModelName(s.model), s.version);
  }
  const std::string fixes = dir + "/fixes.txt";
  std::ofstream out(fixes);
  out << "# chip fingerprint (four hex words) -> device serial number and build\n"
         "0A1B2C3D 4E5F6071 8293A4B5 C6D7E8F9 40F5849A 99528558\n";
  if (!out.flush()) {
    fprintf(stderr, "corelatch-update-server: cannot write %s\n", fixes.c_str());
    return false;
  }
  printf("wrote %s\n", fixes.c_str());
  return true;
}
