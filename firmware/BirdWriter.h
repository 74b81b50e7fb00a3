// Builds BIRD files: the block list, the counted body with its checksum, and
// the six header bytes in front of the zlib stream. The simulator, the
// reference update server and the tests make their firmware files with it.
//
// Besides well-formed files it can make the damaged ones a loader must
// survive: a wrong block count, a missing checksum, raw block bytes, trailing
// bytes, any header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using ByteVector = std::vector<uint8_t>;

class BirdWriter {
 public:
  // Descriptor block (type 4): each text is cut or padded with spaces to 16 bytes.
  BirdWriter& addDescriptor(const std::string& title, const std::string& version,
                            const std::string& serial, const std::string& model);
  // Loader (type 0) and firmware (type 1) blocks: load address, then the image.
  BirdWriter& addLoader(uint32_t address, const ByteVector& image, uint8_t flags = 0);
  BirdWriter& addFirmware(uint32_t address, const ByteVector& image, uint8_t flags = 0);
  // Serial-number record (type 2): where the device's serial number and the
  // descriptor text live in the device's memory.
  BirdWriter& addSerialRecord(uint32_t serialNumberAddress, uint32_t descriptorAddress);
  // Start address for the serial-download loader (type 5).
  BirdWriter& addStartAddress(uint32_t address);
  // Any block: type 0-31, flags 0-7, the payload as given.
  BirdWriter& addBlock(uint8_t type, uint8_t flags, const ByteVector& payload);
  // Bytes appended to the block list as they are (a damaged or cut block).
  BirdWriter& addRawBytes(const ByteVector& bytes);

  // The count field; by default the number of blocks added.
  BirdWriter& setReportedCount(uint32_t count);
  // The checksum; by default the CRC-32 of the bytes before it.
  BirdWriter& setChecksum(uint32_t checksum);
  BirdWriter& omitChecksum();
  // Header bytes A and B (nonzero in a valid file) and the magic text.
  BirdWriter& setHeader(uint8_t a, uint8_t b);
  BirdWriter& setMagic(const std::string& magic);
  // zlib level of the stream (0-9).
  BirdWriter& setCompressionLevel(int level);

  size_t blockCount() const { return blocks_; }

  // The inflated body: count, blocks, checksum.
  ByteVector body() const;
  // The whole file: header and the compressed body.
  ByteVector file() const;
  // Writes file() to path; false (with errno set) when that fails.
  bool writeFile(const std::string& path) const;

  // A header and a zlib stream of any body: for bodies built by hand.
  static ByteVector wrap(const ByteVector& body, uint8_t a = 1, uint8_t b = 1, int level = 6,
                         const std::string& magic = "bird");
  // Deterministic firmware-like bytes for sample files: mostly a few common
  // values, so they compress (about 2.3 to 1) but stay well inside the
  // loader's limit of 8 to 1.
  static ByteVector sampleImage(size_t size, uint32_t seed = 1);
  // The 16-byte text fields of a descriptor.
  static ByteVector descriptorPayload(const std::string& title, const std::string& version,
                                      const std::string& serial, const std::string& model);

 private:
  ByteVector blockBytes_;
  size_t blocks_ = 0;
  std::optional<uint32_t> reportedCount_;
  std::optional<uint32_t> checksum_;
  bool omitChecksum_ = false;
  uint8_t headerA_ = 1;
  uint8_t headerB_ = 1;
  std::string magic_ = "bird";
  int level_ = 6;
};
