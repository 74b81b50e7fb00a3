// The BIRD loader fed arbitrary bytes. The first byte chooses the form: the
// bytes of a whole file, or an inflated body that is wrapped into a valid
// stream first (so the block parse sees inputs zlib would otherwise refuse).
// Every query and patch runs on whatever loads; ASan checks that nothing
// reaches past the body.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

namespace {

const std::string& scratchPath() {
  static const std::string path = [] {
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/fuzz_bird." + std::to_string(getpid());
  }();
  return path;
}

void exercise(BirdFile& bird) {
  // Read every byte of every block the loader kept.
  unsigned sum = 0;
  for (const BirdBlock& block : bird.blocks()) {
    if (block.payload < bird.body() ||
        block.payload + block.length > bird.body() + bird.bodyLength())
      abort();
    for (uint32_t i = 0; i < block.length; ++i) sum += block.payload[i];
  }
  if (bird.blockCount() != int32_t(bird.blocks().size())) abort();
  for (uint8_t type = 0; type < 32; ++type) sum += unsigned(bird.blocksOfType(type).size());
  const std::string version = bird.versionText();
  if (version.size() > 15 || version.find(' ') != std::string::npos) abort();
  sum += bird.matchesModel("CLHUB") + bird.matchesSerialNumber(0x40F5849A);
  bird.insertSerialNumber(0x40F5849A);
  const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  bird.applyDeviceKey(key);
  BirdFile moved(std::move(bird));
  if (moved.blocks().size() != size_t(moved.blockCount())) abort();
  (void)sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  ByteVector file;
  if (mode & 1)
    file = BirdWriter::wrap(ByteVector(data + 1, data + size), 1, 1, 1);
  else
    file.assign(data + 1, data + size);
  try {
    if (mode & 2) {
      // Now and then through a real file, to cover the reading path as well.
      FILE* f = fopen(scratchPath().c_str(), "wb");
      if (!f) return 0;
      fwrite(file.data(), 1, file.size(), f);
      fclose(f);
      BirdFile::isBirdFile(scratchPath());
      BirdFile bird(scratchPath());
      unlink(scratchPath().c_str());
      exercise(bird);
    } else {
      BirdFile bird = BirdFile::fromMemory(file.data(), file.size(), "fuzz");
      exercise(bird);
    }
  } catch (const std::runtime_error&) {
    unlink(scratchPath().c_str());
  }
  return 0;
}
