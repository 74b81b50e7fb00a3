// A loaded BIRD firmware file: six header bytes ("bird", A, B) followed by one
// zlib stream whose inflated body is a counted list of typed blocks and a
// trailing checksum. All multi-byte integers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum : uint8_t {
  kBirdBlockLoader = 0,        // 4-byte load address, then the loader image
  kBirdBlockFirmware = 1,      // 4-byte load address, then the firmware image
  kBirdBlockSerialRecord = 2,  // serial-number address, descriptor address
  kBirdBlockDescriptor = 4,    // four 16-byte text fields padded with spaces
  kBirdBlockStartAddress = 5,  // 4-byte start address for the serial-download loader
};

constexpr uint32_t kBirdMagic = 0x62697264;  // "bird"
constexpr size_t kBirdHeaderSize = 6;
constexpr size_t kBirdDescriptorFieldSize = 16;
constexpr uint32_t kBirdDescriptorSize = 64;
constexpr uint32_t kBirdSerialRecordSize = 8;

// One parsed block; payload points into the owning BirdFile's body and stays
// valid while that file lives and is not reloaded (moves keep it valid).
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;   // payload length L
  uint32_t address = 0;  // load address of loader and firmware blocks, else 0
  uint8_t* payload = nullptr;

  // Image bytes of a loader or firmware block: the payload after its load
  // address (empty when the payload is too short to hold one).
  uint8_t* data() const { return length >= 4 ? payload + 4 : payload; }
  uint32_t dataLength() const { return length >= 4 ? length - 4 : 0; }
};

class BirdFile {
 public:
  BirdFile() = default;
  // Loads the file; throws std::runtime_error("Failed to load bird data") when
  // it cannot be read or inflated, so no half-loaded object reaches a caller.
  explicit BirdFile(const std::string& path);
  // The same load over file bytes already in memory; name stands for the path.
  static BirdFile fromMemory(const uint8_t* bytes, size_t size, const std::string& name);

  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;
  ~BirdFile() = default;

  // True when the first 6 bytes are "bird" and two nonzero header bytes.
  static bool isBirdFile(const std::string& path);

  std::vector<BirdBlock> blocksOfType(uint8_t type) const;
  std::string versionText() const;
  bool matchesModel(const std::string& model) const;
  bool matchesSerialNumber(uint32_t serial) const;
  bool insertSerialNumber(uint32_t serial);
  bool applyDeviceKey(const uint8_t identifier[16]);

  const std::string& path() const { return path_; }
  uint32_t magic() const { return magic_; }
  uint16_t headerWord() const { return headerWord_; }
  uint32_t checksum() const { return checksum_; }
  int32_t blockCount() const { return blockCount_; }
  const std::vector<BirdBlock>& blocks() const { return blocks_; }
  bool hasSerialRecord() const { return hasSerialRecord_; }
  uint32_t serialNumberAddress() const { return serialNumberAddress_; }
  uint32_t descriptorAddress() const { return descriptorAddress_; }
  uint32_t bodyLength() const { return bodyLength_; }
  const uint8_t* body() const { return body_.get(); }
  uint32_t fileSize() const { return fileSize_; }

  // The parse verdict: the blocks account for the whole body and their number
  // equals the count the file reports. A load succeeds without it.
  bool parseVerdict() const { return parseVerdict_; }
  uint32_t reportedBlockCount() const { return reportedBlockCount_; }
  bool hasChecksum() const { return hasChecksum_; }
  // Why the verdict is false, in a few words; empty when it is true.
  const std::string& parseProblem() const { return parseProblem_; }

  // The descriptor the queries use: the first type 4 block of at least 64 bytes.
  const BirdBlock* descriptor() const;

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const;
  };

  bool loadBytes(const uint8_t* bytes, size_t size);
  bool parseBody();
  void readSerialRecord();
  void reset();

  std::string path_;
  uint32_t magic_ = 0;
  uint16_t headerWord_ = 0;
  uint32_t checksum_ = 0;
  int32_t blockCount_ = 0;
  std::vector<BirdBlock> blocks_;
  bool hasSerialRecord_ = false;
  uint32_t serialNumberAddress_ = 0;
  uint32_t descriptorAddress_ = 0;
  std::unique_ptr<uint8_t[], FreeDeleter> body_;
  uint32_t bodyLength_ = 0;

  uint32_t fileSize_ = 0;
  uint32_t reportedBlockCount_ = 0;
  bool parseVerdict_ = false;
  bool hasChecksum_ = false;
  std::string parseProblem_;
};
