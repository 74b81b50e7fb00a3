// Seed inputs for the fuzz targets, written into a folder:
//   fuzz-seeds bird <dir>        BIRD files and bodies (first byte: the form)
//   fuzz-seeds attributes <dir>  attribute files
// Any other target gets no seeds; that is not an error.
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/BirdWriter.h"

namespace {

bool writeSeed(const std::string& dir, const std::string& name, const ByteVector& bytes) {
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "fuzz-seeds: cannot write %s\n", path.c_str());
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

ByteVector prefixed(uint8_t mode, const ByteVector& bytes) {
  ByteVector out{mode};
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

BirdWriter fullImage() {
  BirdWriter writer;
  writer.addDescriptor("CoreLatch hub", "2.12.4", "40F5849A", "CLHUB")
      .addLoader(0x20000000, BirdWriter::sampleImage(48, 1))
      .addFirmware(0x1000, BirdWriter::sampleImage(96, 2), 1)
      .addSerialRecord(0x1010, 0x1020)
      .addStartAddress(0x20000001);
  return writer;
}

bool birdSeeds(const std::string& dir) {
  // Mode 0: whole file bytes; mode 1: a body to be wrapped; mode 2: via a file.
  const ByteVector file = fullImage().file();
  const ByteVector body = fullImage().body();
  bool ok = writeSeed(dir, "file", prefixed(0, file));
  ok &= writeSeed(dir, "file-on-disk", prefixed(2, file));
  ok &= writeSeed(dir, "body", prefixed(1, body));
  ok &= writeSeed(dir, "body-count-mismatch", prefixed(1, fullImage().setReportedCount(9).body()));
  ok &= writeSeed(dir, "body-no-checksum", prefixed(1, fullImage().omitChecksum().body()));
  const ByteVector firmwareOnly =
      BirdWriter().addFirmware(0x0, BirdWriter::sampleImage(16, 3)).body();
  ok &= writeSeed(dir, "body-firmware-only", prefixed(1, firmwareOnly));
  const ByteVector shortRecords =
      BirdWriter().addBlock(2, 0, {1, 2, 3}).addBlock(4, 0, BirdWriter::sampleImage(20, 4)).body();
  ok &= writeSeed(dir, "body-short-records", prefixed(1, shortRecords));
  ok &= writeSeed(dir, "body-cut-block",
                  prefixed(1, BirdWriter().addRawBytes({0x01, 0x00, 0x00, 0x01, 0x00, 0xAA}).body()));
  return ok;
}

bool attributeSeeds(const std::string& dir) {
  const std::vector<std::pair<std::string, std::string>> seeds = {
      {"settings", "CREATED_TIME=Tue May 26 14:03:07 2026\nLAST_DOWNLOAD_DATE=Tue May 26 14:03:07 2026\n"
                   "LATEST_DOWNLOAD=99528558.bird\nUPDATED_TIME=Tue May 26 14:03:07 2026\n"},
      {"lenient", "  LATEST_DOWNLOAD =  99528558.bird  \r\n#A=1\na\n\nk=\n=v\nno equals\n  #B=2\n"},
      {"long-line", "A=1\nB=" + std::string(2100, 'x') + "\nC=3\n"},
      {"no-final-newline", "A=1\nB=2"},
  };
  bool ok = true;
  for (const auto& [name, text] : seeds) ok &= writeSeed(dir, name, ByteVector(text.begin(), text.end()));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz-seeds <target> <dir>\n");
    return 2;
  }
  const std::string target = argv[1];
  const std::string dir = argv[2];
  if (target == "bird") return birdSeeds(dir) ? 0 : 1;
  if (target == "attributes") return attributeSeeds(dir) ? 0 : 1;
  return 0;
}
