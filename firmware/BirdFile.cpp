#include "firmware/BirdFile.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/aFile.h"
#include "updater/UpdaterDisplay.h"

namespace {

const char kLoadFailed[] = "Failed to load bird data";

// The body may be at most this many times the size of its compressed stream.
constexpr uint64_t kInflateFactor = 8;

uint32_t readBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t readLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void writeLE32(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

// The parse counts with 64 bits so that no length can wrap it; the messages
// show the count as the signed 32-bit number they always printed.
int32_t clampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

// Reads count bytes or up to the end of the file; answers the platform error
// of a failed read (after which *got holds what was read).
aErr readFully(aFileRef file, uint8_t* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  while (*got < count) {
    uint32_t n = 0;
    aErr err = aFile_Read(file, buffer + *got, count - *got, &n);
    *got += n;
    if (err == aErrEOF || (err == aErrNone && n == 0)) break;
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

}  // namespace

void BirdFile::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

BirdFile::BirdFile(const std::string& path) : path_(path) {
  debugLog(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  if (!aFile_Exists(path.c_str())) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    throw std::runtime_error(kLoadFailed);
  }
  aFileRef file = aFile_Open(path.c_str(), aFileModeRead);
  if (!file) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    throw std::runtime_error(kLoadFailed);
  }
  uint32_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    aFile_Close(&file);
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
             path.c_str());
    throw std::runtime_error(kLoadFailed);
  }
  std::unique_ptr<uint8_t[], FreeDeleter> raw(static_cast<uint8_t*>(std::malloc(size ? size : 1)));
  if (!raw) {
    aFile_Close(&file);
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(aErrMemory), path.c_str());
    throw std::runtime_error(kLoadFailed);
  }
  uint32_t got = 0;
  err = readFully(file, raw.get(), size, &got);
  aFile_Close(&file);
  if (err != aErrNone) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
    throw std::runtime_error(kLoadFailed);
  }
  if (got < size) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
             path.c_str(), size_t(got), size_t(size));
    throw std::runtime_error(kLoadFailed);
  }
  if (!loadBytes(raw.get(), size)) {
    reset();
    throw std::runtime_error(kLoadFailed);
  }
}

BirdFile BirdFile::fromMemory(const uint8_t* bytes, size_t size, const std::string& name) {
  BirdFile file;
  file.path_ = name;
  debugLog(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name.c_str());
  if (size > UINT32_MAX || !file.loadBytes(bytes, size)) throw std::runtime_error(kLoadFailed);
  return file;
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path_ = std::move(other.path_);
  magic_ = other.magic_;
  headerWord_ = other.headerWord_;
  checksum_ = other.checksum_;
  blockCount_ = other.blockCount_;
  blocks_ = std::move(other.blocks_);
  hasSerialRecord_ = other.hasSerialRecord_;
  serialNumberAddress_ = other.serialNumberAddress_;
  descriptorAddress_ = other.descriptorAddress_;
  body_ = std::move(other.body_);
  bodyLength_ = other.bodyLength_;
  fileSize_ = other.fileSize_;
  reportedBlockCount_ = other.reportedBlockCount_;
  parseVerdict_ = other.parseVerdict_;
  hasChecksum_ = other.hasChecksum_;
  parseProblem_ = std::move(other.parseProblem_);
  other.path_.clear();
  other.reset();
  return *this;
}

void BirdFile::reset() {
  magic_ = 0;
  headerWord_ = 0;
  checksum_ = 0;
  blockCount_ = 0;
  blocks_.clear();
  hasSerialRecord_ = false;
  serialNumberAddress_ = 0;
  descriptorAddress_ = 0;
  body_.reset();
  bodyLength_ = 0;
  fileSize_ = 0;
  reportedBlockCount_ = 0;
  parseVerdict_ = false;
  hasChecksum_ = false;
  parseProblem_.clear();
}

bool BirdFile::loadBytes(const uint8_t* bytes, size_t size) {
  fileSize_ = uint32_t(size);
  if (size > kBirdHeaderSize) {
    magic_ = readBE32(bytes);
    headerWord_ = uint16_t((bytes[4] << 8) | bytes[5]);
  }
  if (size <= kBirdHeaderSize) {
    // No compressed stream at all: report what zlib answers for an empty one.
    uint8_t none = 0;
    uLongf noneLength = 0;
    const int status = uncompress(&none, &noneLength, &none, 0);
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", status);
    bodyLength_ = 0;
    return false;
  }
  const uint64_t streamSize = size - kBirdHeaderSize;
  const uint64_t capacity = kInflateFactor * streamSize;
  std::unique_ptr<uint8_t[], FreeDeleter> out;
  int status = Z_MEM_ERROR;
  uLongf outLength = 0;
  if (capacity <= UINT32_MAX) {
    out.reset(static_cast<uint8_t*>(std::malloc(size_t(capacity))));
    if (out) {
      outLength = uLongf(capacity);
      status = uncompress(out.get(), &outLength, bytes + kBirdHeaderSize, uLong(streamSize));
    }
  }
  if (status != Z_OK) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", status);
    bodyLength_ = 0;
    return false;
  }
  // Keep only the inflated bytes; the blocks are parsed after the move.
  if (uint8_t* shrunk = static_cast<uint8_t*>(std::realloc(out.get(), outLength ? outLength : 1))) {
    (void)out.release();
    out.reset(shrunk);
  }
  body_ = std::move(out);
  bodyLength_ = uint32_t(outLength);
  parseVerdict_ = parseBody();
  readSerialRecord();
  return true;
}

bool BirdFile::parseBody() {
  blockCount_ = 0;
  blocks_.clear();
  parseProblem_.clear();
  hasChecksum_ = false;
  checksum_ = 0;
  uint8_t* body = body_.get();
  const uint64_t length = bodyLength_;
  reportedBlockCount_ = length >= 4 ? readBE32(body) : 0;
  debugLog(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int32_t(reportedBlockCount_));
  debugLog(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  debugLog(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  uint64_t cursor = 4;
  int64_t remaining = int64_t(length) - 4;
  while (remaining > 4 && cursor < length) {
    // remaining == length - cursor here, so the 5 header bytes are present.
    const uint8_t head = body[cursor];
    const uint32_t blockLength = readBE32(body + cursor + 1);
    remaining -= 5 + int64_t(blockLength);
    const uint64_t payloadStart = cursor + 5;
    debugLog(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", head & 0x1F, head >> 5,
             int32_t(blockLength));
    if (payloadStart + blockLength > length) {
      // A block that runs past the end is never kept: nothing may touch bytes
      // that are not in the body.
      debugLog(DEBUG_BirdFile, "BIRDFILE: Block of %u bytes runs past the end of the data.\n",
               blockLength);
      cursor = length + 1;
      break;
    }
    BirdBlock block;
    block.type = head & 0x1F;
    block.flags = head >> 5;
    block.length = blockLength;
    block.payload = body + payloadStart;
    if ((block.type == kBirdBlockLoader || block.type == kBirdBlockFirmware) && blockLength >= 4)
      block.address = readBE32(block.payload);
    if (block.type == kBirdBlockDescriptor && blockLength >= kBirdDescriptorSize) {
      for (size_t field = 0; field < 4; ++field)
        debugLog(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 reinterpret_cast<const char*>(block.payload + field * kBirdDescriptorFieldSize));
    }
    blocks_.push_back(block);
    ++blockCount_;
    cursor = payloadStart + blockLength;
  }

  if (cursor + 4 <= length) {
    checksum_ = readBE32(body + cursor);
    hasChecksum_ = true;
  }
  debugLog(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);
  remaining -= 4;

  bool verdict = true;
  if (remaining != 0) {
    debugLog(DEBUG_BirdFile,
             "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             clampToInt32(remaining));
    parseProblem_ = "data size mismatch (" + std::to_string(remaining) + " bytes remaining)";
    verdict = false;
  }
  if (uint32_t(blockCount_) != reportedBlockCount_) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             blockCount_, int32_t(reportedBlockCount_));
    if (!parseProblem_.empty()) parseProblem_ += ", ";
    parseProblem_ += "block count mismatch (" + std::to_string(blockCount_) +
                     " parsed, " + std::to_string(reportedBlockCount_) + " reported)";
    verdict = false;
  }
  return verdict;
}

void BirdFile::readSerialRecord() {
  hasSerialRecord_ = false;
  serialNumberAddress_ = 0;
  descriptorAddress_ = 0;
  // A record too short for its two addresses counts as no record.
  for (const BirdBlock& block : blocks_) {
    if (block.type != kBirdBlockSerialRecord || block.length < kBirdSerialRecordSize) continue;
    hasSerialRecord_ = true;
    serialNumberAddress_ = readBE32(block.payload);
    descriptorAddress_ = readBE32(block.payload + 4);
    debugLog(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int32_t(serialNumberAddress_), int32_t(descriptorAddress_));
    return;
  }
}

bool BirdFile::isBirdFile(const std::string& path) {
  aFileRef file = aFile_Open(path.c_str(), aFileModeRead);
  if (!file) {
    debugLog(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  uint8_t header[kBirdHeaderSize] = {};
  uint32_t got = 0;
  aErr err = readFully(file, header, sizeof header, &got);
  aFile_Close(&file);
  return err == aErrNone && got == sizeof header && readBE32(header) == kBirdMagic &&
         header[4] != 0 && header[5] != 0;
}

const BirdBlock* BirdFile::descriptor() const {
  for (const BirdBlock& block : blocks_)
    if (block.type == kBirdBlockDescriptor && block.length >= kBirdDescriptorSize) return &block;
  return nullptr;
}

std::vector<BirdBlock> BirdFile::blocksOfType(uint8_t type) const {
  std::vector<BirdBlock> out;
  for (const BirdBlock& block : blocks_)
    if (block.type == type) out.push_back(block);
  return out;
}

std::string BirdFile::versionText() const {
  const BirdBlock* d = descriptor();
  if (!d) return std::string();
  // The text ends at the first space; the 16th byte never belongs to it.
  const char* field = reinterpret_cast<const char*>(d->payload + kBirdDescriptorFieldSize);
  size_t n = 0;
  while (n < kBirdDescriptorFieldSize - 1 && field[n] != ' ' && field[n] != '\0') ++n;
  return std::string(field, n);
}

bool BirdFile::matchesModel(const std::string& model) const {
  const BirdBlock* d = descriptor();
  if (!d) return false;
  char field[kBirdDescriptorFieldSize + 1];
  std::memcpy(field, d->payload + 3 * kBirdDescriptorFieldSize, kBirdDescriptorFieldSize);
  field[kBirdDescriptorFieldSize] = '\0';
  for (size_t n = kBirdDescriptorFieldSize; n > 0 && field[n - 1] == ' '; --n) field[n - 1] = '\0';
  if (std::strcmp(field, model.c_str()) != 0) return false;
  debugLog(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model.c_str());
  return true;
}

bool BirdFile::matchesSerialNumber(uint32_t serial) const {
  uint32_t value = 0;
  if (const BirdBlock* d = descriptor()) {
    const uint8_t* field = d->payload + 2 * kBirdDescriptorFieldSize;
    for (size_t n = 0; n < 8; ++n) {
      const uint8_t c = field[n];
      uint32_t digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else break;
      value = (value << 4) | digit;
    }
  }
  return value == serial;
}

bool BirdFile::insertSerialNumber(uint32_t serial) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", serial);
  bool result = false;
  for (BirdBlock& block : blocks_) {
    if (block.type != kBirdBlockFirmware) continue;
    // The device bytes [address, address + L - 4) that this block writes.
    const uint64_t start = block.address;
    const uint64_t end = start + block.dataLength();
    if (serialNumberAddress_ != 0) {
      const uint64_t at = serialNumberAddress_;
      if (at >= start && at + 4 <= end) {
        uint8_t* p = block.data() + (at - start);
        debugLog(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 readLE32(p), serial);
        writeLE32(p, serial);
      }
      result = true;
    }
    if (descriptorAddress_ != 0) {
      const uint64_t at = descriptorAddress_;
      if (at >= start && at + kBirdDescriptorFieldSize <= end) {
        uint8_t* p = block.data() + (at - start);
        for (size_t n = 0; n < 8; ++n) p[2 * n] = uint8_t(digits[n]);
        result = true;
      }
    }
  }
  return result;
}

bool BirdFile::applyDeviceKey(const uint8_t identifier[16]) {
  uint8_t key[16];
  for (size_t word = 0; word < 4; ++word)
    for (size_t b = 0; b < 4; ++b) key[4 * word + b] = identifier[4 * word + 3 - b];
  for (BirdBlock& block : blocks_) {
    if (block.type != kBirdBlockFirmware) continue;
    uint8_t* data = block.data();
    uint8_t carry = 0;
    for (uint32_t i = 0; i < block.dataLength(); ++i) {
      const uint8_t next = key[i % 16] ^ data[i] ^ carry;
      data[i] = next;
      carry = next;
    }
  }
  return true;
}
