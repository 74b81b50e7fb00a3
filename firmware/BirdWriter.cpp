#include "firmware/BirdWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

void appendBE32(ByteVector& out, uint32_t value) {
  out.push_back(uint8_t(value >> 24));
  out.push_back(uint8_t(value >> 16));
  out.push_back(uint8_t(value >> 8));
  out.push_back(uint8_t(value));
}

void appendField(ByteVector& out, const std::string& text) {
  for (size_t i = 0; i < 16; ++i) out.push_back(i < text.size() ? uint8_t(text[i]) : uint8_t(' '));
}

ByteVector withAddress(uint32_t address, const ByteVector& image) {
  ByteVector payload;
  payload.reserve(4 + image.size());
  appendBE32(payload, address);
  payload.insert(payload.end(), image.begin(), image.end());
  return payload;
}

}  // namespace

ByteVector BirdWriter::sampleImage(size_t size, uint32_t seed) {
  ByteVector out(size);
  for (auto& b : out) {
    seed = seed * 1664525u + 1013904223u;
    const uint32_t r = seed >> 24;
    b = r < 224 ? uint8_t(r & 0x03) : uint8_t(r);
  }
  return out;
}

ByteVector BirdWriter::descriptorPayload(const std::string& title, const std::string& version,
                                         const std::string& serial, const std::string& model) {
  ByteVector payload;
  appendField(payload, title);
  appendField(payload, version);
  appendField(payload, serial);
  appendField(payload, model);
  return payload;
}

BirdWriter& BirdWriter::addDescriptor(const std::string& title, const std::string& version,
                                      const std::string& serial, const std::string& model) {
  return addBlock(4, 0, descriptorPayload(title, version, serial, model));
}

BirdWriter& BirdWriter::addLoader(uint32_t address, const ByteVector& image, uint8_t flags) {
  return addBlock(0, flags, withAddress(address, image));
}

BirdWriter& BirdWriter::addFirmware(uint32_t address, const ByteVector& image, uint8_t flags) {
  return addBlock(1, flags, withAddress(address, image));
}

BirdWriter& BirdWriter::addSerialRecord(uint32_t serialNumberAddress, uint32_t descriptorAddress) {
  ByteVector payload;
  appendBE32(payload, serialNumberAddress);
  appendBE32(payload, descriptorAddress);
  return addBlock(2, 0, payload);
}

BirdWriter& BirdWriter::addStartAddress(uint32_t address) {
  ByteVector payload;
  appendBE32(payload, address);
  return addBlock(5, 0, payload);
}

BirdWriter& BirdWriter::addBlock(uint8_t type, uint8_t flags, const ByteVector& payload) {
  if (type > 31 || flags > 7) throw std::invalid_argument("BIRD block type or flags out of range");
  if (payload.size() > UINT32_MAX) throw std::invalid_argument("BIRD block too large");
  blockBytes_.push_back(uint8_t(type | (flags << 5)));
  appendBE32(blockBytes_, uint32_t(payload.size()));
  blockBytes_.insert(blockBytes_.end(), payload.begin(), payload.end());
  ++blocks_;
  return *this;
}

BirdWriter& BirdWriter::addRawBytes(const ByteVector& bytes) {
  blockBytes_.insert(blockBytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

BirdWriter& BirdWriter::setReportedCount(uint32_t count) {
  reportedCount_ = count;
  return *this;
}

BirdWriter& BirdWriter::setChecksum(uint32_t checksum) {
  checksum_ = checksum;
  return *this;
}

BirdWriter& BirdWriter::omitChecksum() {
  omitChecksum_ = true;
  return *this;
}

BirdWriter& BirdWriter::setHeader(uint8_t a, uint8_t b) {
  headerA_ = a;
  headerB_ = b;
  return *this;
}

BirdWriter& BirdWriter::setMagic(const std::string& magic) {
  magic_ = magic;
  return *this;
}

BirdWriter& BirdWriter::setCompressionLevel(int level) {
  level_ = level;
  return *this;
}

ByteVector BirdWriter::body() const {
  ByteVector out;
  out.reserve(8 + blockBytes_.size());
  appendBE32(out, reportedCount_ ? *reportedCount_ : uint32_t(blocks_));
  out.insert(out.end(), blockBytes_.begin(), blockBytes_.end());
  if (!omitChecksum_) {
    const uint32_t sum =
        checksum_ ? *checksum_ : uint32_t(crc32(0L, out.data(), uInt(out.size())));
    appendBE32(out, sum);
  }
  return out;
}

ByteVector BirdWriter::file() const { return wrap(body(), headerA_, headerB_, level_, magic_); }

ByteVector BirdWriter::wrap(const ByteVector& body, uint8_t a, uint8_t b, int level,
                            const std::string& magic) {
  ByteVector out;
  for (size_t i = 0; i < 4; ++i) out.push_back(i < magic.size() ? uint8_t(magic[i]) : 0);
  out.push_back(a);
  out.push_back(b);
  uLongf length = compressBound(uLong(body.size()));
  out.resize(6 + length);
  if (compress2(out.data() + 6, &length, body.data(), uLong(body.size()), level) != Z_OK)
    throw std::runtime_error("BIRD body could not be compressed");
  out.resize(6 + length);
  return out;
}

bool BirdWriter::writeFile(const std::string& path) const {
  const ByteVector bytes = file();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int savedErrno = errno;
  const bool closed = std::fclose(f) == 0;
  if (!written) errno = savedErrno;
  return written && closed;
}
