#include "aStream.h"
#include "aFile.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kPushStep = 512;

bool sValid(const aStream* stream) { return stream && stream->check == aSTREAM_CHECK; }

// Appends a byte to the push-back ring, growing it (order kept) when it is one
// byte short of full. False when memory runs out.
bool sPushBack(aStream* stream, uint8_t byte) {
  if (!stream->pushback || stream->pushCount + 1 >= stream->pushCapacity) {
    const uint32_t capacity = stream->pushCapacity + kPushStep;
    uint8_t* ring = static_cast<uint8_t*>(std::malloc(capacity));
    if (!ring)
      return false;
    for (uint32_t i = 0; i < stream->pushCount; i++)
      ring[i] = stream->pushback[(stream->pushRead + i) % stream->pushCapacity];
    std::free(stream->pushback);
    stream->pushback = ring;
    stream->pushCapacity = capacity;
    stream->pushRead = 0;
    stream->pushWrite = stream->pushCount;
  }
  stream->pushback[stream->pushWrite] = byte;
  stream->pushWrite = (stream->pushWrite + 1) % stream->pushCapacity;
  stream->pushCount++;
  return true;
}

void sPushBackAll(aStream* stream, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; i++)
    if (!sPushBack(stream, bytes[i]))
      return;
}

aErr sNextByte(aStream* stream, uint8_t* byte) {
  if (stream->pushCount > 0) {
    *byte = stream->pushback[stream->pushRead];
    stream->pushRead = (stream->pushRead + 1) % stream->pushCapacity;
    stream->pushCount--;
    return aErrNone;
  }
  return stream->getProc(byte, stream->procRef);
}

// One byte through putProc; a stream with only a run writer sends it as a run of one.
aErr sPutByte(aStream* stream, const uint8_t* byte) {
  if (stream->putProc)
    return stream->putProc(byte, stream->procRef);
  if (stream->writeProc)
    return stream->writeProc(byte, 1, stream->procRef);
  return aErrMode;
}

aErr sFileGet(uint8_t* byte, void* ref) {
  if (!ref)
    return aErrIO;
  return aFile_Read(static_cast<aFileRef>(ref), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  if (!ref)
    return aErrIO;
  uint32_t written = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(ref), bytes, count, &written);
  if (err == aErrNone && written != count)
    err = aErrWrite;
  return err;
}

aErr sFilePut(const uint8_t* byte, void* ref) { return sFileWrite(byte, 1, ref); }

// A record of at most size - 1 bytes, zero-terminated on success.
aErr sReadText(aStream* stream, char* buffer, uint32_t size, const uint8_t* terminator, uint32_t count) {
  if (!buffer || size < 2)
    return aErrParam;
  uint32_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1, terminator, count);
  if (err == aErrNone)
    buffer[length] = '\0';
  return err;
}

aErr sFileDelete(void* ref) {
  if (!ref)
    return aErrIO;
  aFileRef file = static_cast<aFileRef>(ref);
  return aFile_Close(&file);
}

}  // namespace

aLIB_BEGIN

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* ref) {
  aStream* stream = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
  if (!stream)
    return nullptr;
  stream->getProc = getProc;
  stream->putProc = putProc;
  stream->writeProc = writeProc;
  stream->deleteProc = deleteProc;
  stream->procRef = ref;
  stream->check = aSTREAM_CHECK;
  return stream;
}

aErr aStream_Destroy(aStream** stream) {
  if (!stream)
    return aErrParam;
  aStream* s = *stream;
  *stream = nullptr;
  if (!sValid(s))
    return aErrParam;
  aErr err = s->deleteProc ? s->deleteProc(s->procRef) : aErrNone;
  std::free(s->pushback);
  s->check = 0;
  std::free(s);
  return err;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, uint32_t count) {
  if (!sValid(stream) || !buffer)
    return aErrParam;
  if (!stream->getProc)
    return aErrMode;
  if (count == 0)
    return aErrNone;
  // Receive loops read one byte at a time: small reads need no allocation.
  uint8_t local[64];
  uint8_t* taken = count <= sizeof local ? local : static_cast<uint8_t*>(std::malloc(count));
  if (!taken)
    return aErrResource;
  aErr err = aErrNone;
  uint32_t got = 0;
  while (got < count) {
    err = sNextByte(stream, &taken[got]);
    if (err != aErrNone)
      break;
    got++;
  }
  if (err == aErrNotReady) {
    // The ring was empty when getProc answered, so appending keeps the order.
    sPushBackAll(stream, taken, got);
  } else if (err == aErrNone || err == aErrEOF) {
    std::memcpy(buffer, taken, got);
  }
  if (taken != local)
    std::free(taken);
  return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* buffer, uint32_t count) {
  if (!sValid(stream) || !buffer)
    return aErrParam;
  if (count == 0)
    return aErrNone;
  if (stream->writeProc && count > 1)
    return stream->writeProc(buffer, count, stream->procRef);
  if (!stream->putProc && !stream->writeProc)
    return aErrMode;
  for (uint32_t i = 0; i < count; i++) {
    aErr err = sPutByte(stream, &buffer[i]);
    if (err != aErrNone)
      return err;
  }
  return aErrNone;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (!sValid(stream) || !text)
    return aErrParam;
  if (!stream->putProc && !stream->writeProc)
    return aErrMode;
  aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
  if (err != aErrNone)
    return err;
  const uint8_t zero = 0;
  return sPutByte(stream, &zero);
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, uint32_t dataCount, const uint8_t* terminator,
                         uint32_t terminatorCount) {
  if (!sValid(stream) || !data || !terminator || terminatorCount == 0)
    return aErrParam;
  aErr err = aStream_Write(stream, data, dataCount);
  if (err != aErrNone)
    return err;
  return aStream_Write(stream, terminator, terminatorCount);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
  if (!text || !terminator)
    return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)),
                             reinterpret_cast<const uint8_t*>(terminator),
                             static_cast<uint32_t>(std::strlen(terminator) + 1));
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, uint32_t* length, uint32_t maxLength,
                        const uint8_t* terminator, uint32_t terminatorCount) {
  if (!sValid(stream) || !buffer || !terminator || terminatorCount == 0 || maxLength == 0)
    return aErrParam;
  if (!stream->getProc)
    return aErrMode;
  // Every byte taken, terminator bytes included, so that a read cut short by
  // aErrNotReady can be given back whole and matched again from the start.
  const uint64_t room = static_cast<uint64_t>(maxLength) + terminatorCount;
  uint8_t* taken = room <= UINT32_MAX ? static_cast<uint8_t*>(std::malloc(room)) : nullptr;
  uint8_t* record = static_cast<uint8_t*>(std::malloc(maxLength));
  if (!taken || !record) {
    std::free(taken);
    std::free(record);
    return aErrResource;
  }
  uint32_t takenCount = 0, stored = 0, match = 0;
  aErr err = aErrNone;
  for (;;) {
    uint8_t byte = 0;
    err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      taken[takenCount++] = byte;
      if (byte == terminator[match]) {
        if (++match == terminatorCount)
          break;
      } else {
        record[stored++] = byte;
        if (stored == maxLength)
          break;
      }
    } else if (err == aErrEOF && stored > 0) {
      err = aErrNone;
      break;
    } else {
      if (err == aErrNotReady)
        sPushBackAll(stream, taken, takenCount);
      if (err == aErrEOF && length)
        *length = 0;
      std::free(taken);
      std::free(record);
      return err;
    }
  }
  std::memcpy(buffer, record, stored);
  if (length)
    *length = stored;
  std::free(taken);
  std::free(record);
  return aErrNone;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, uint32_t size) {
  const uint8_t zero = 0;
  return sReadText(stream, buffer, size, &zero, 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint32_t size, const char* terminator) {
  if (!terminator)
    return aErrParam;
  return sReadText(stream, buffer, size, reinterpret_cast<const uint8_t*>(terminator),
                   static_cast<uint32_t>(std::strlen(terminator)));
}

aErr aStream_Flush(aStream* in, aStream* out) {
  if (!sValid(in) || !sValid(out))
    return aErrParam;
  if (!in->getProc || !out->putProc)
    return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr err = in->getProc(&byte, in->procRef);
    if (err == aErrEOF)
      return aErrNone;
    if (err != aErrNone)
      return err;
    err = out->putProc(&byte, out->procRef);
    if (err != aErrNone)
      return err;
  }
}

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  if (!path || !stream)
    return aErrResource;
  *stream = nullptr;
  aFileRef file = aFile_Open(path, aFileModeRead);
  if (!file)
    return aErrResource;
  *stream = aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
  if (!*stream) {
    aFile_Close(&file);
    return aErrResource;
  }
  return aErrNone;
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  if (!path || !stream)
    return aErrResource;
  *stream = nullptr;
  aFileRef file = aFile_Open(path, aFileModeWrite);
  if (!file)
    return aErrNone;
  *stream = aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (!*stream) {
    aFile_Close(&file);
    return aErrResource;
  }
  return aErrNone;
}

aLIB_END
