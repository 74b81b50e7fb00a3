/* Byte streams: four transport procedures plus a push-back ring, with counted,
 * C-string and record reads and writes, stream-to-stream copy, file streams and
 * the serial port streams (raw and packetized). */
#ifndef aSTREAM_H
#define aSTREAM_H

#include "aError.h"

#define aSTREAM_CHECK 0x4321

/* Transport procedures. Success is aErrNone, no byte at the moment aErrNotReady,
 * end of data aErrEOF; a read that succeeds has stored one byte. */
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, uint32_t count, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

typedef struct aStream {
  aStreamGetProc getProc;
  aStreamPutProc putProc;
  aStreamWriteProc writeProc;
  aStreamDeleteProc deleteProc;
  void* procRef;          /* the transport's record, owned by the stream */
  uint8_t* pushback;      /* ring of bytes returned by readers; null until needed */
  uint32_t pushCount;
  uint32_t pushCapacity;
  uint32_t pushRead;
  uint32_t pushWrite;
  uint16_t check;         /* aSTREAM_CHECK while valid */
} aStream;

typedef aStream* aStreamRef;

/* Serial baud-rate codes. */
typedef enum {
  aSerial2400 = 0,
  aSerial4800 = 1,
  aSerial9600 = 2,
  aSerial19200 = 3,
  aSerial38400 = 4,
  aSerial57600 = 5,
  aSerial115200 = 6,
  aSerial230400 = 7
} aSerialBaud;

aLIB_BEGIN

/* Any procedure may be null; the stream owns ref from here on. */
aLIBEXPORT aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                   aStreamDeleteProc deleteProc, void* ref);
/* Answers deleteProc's result; always nulls *stream (aErrParam when it was invalid). */
aLIBEXPORT aErr aStream_Destroy(aStream** stream);
/* Exactly count bytes, or aErrNotReady with every byte taken kept for the next read. */
aLIBEXPORT aErr aStream_Read(aStream* stream, uint8_t* buffer, uint32_t count);
aLIBEXPORT aErr aStream_Write(aStream* stream, const uint8_t* buffer, uint32_t count);
/* The text and its terminating zero. */
aLIBEXPORT aErr aStream_WriteCString(aStream* stream, const char* text);
aLIBEXPORT aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, uint32_t dataCount,
                                    const uint8_t* terminator, uint32_t terminatorCount);
/* The text without its zero, then the terminator text with its zero. */
aLIBEXPORT aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);
/* A record ended by the terminator bytes, which must come in order but need not
 * be adjacent; at most maxLength bytes. length (optional) gets the record's size. */
aLIBEXPORT aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, uint32_t* length, uint32_t maxLength,
                                   const uint8_t* terminator, uint32_t terminatorCount);
aLIBEXPORT aErr aStream_ReadCString(aStream* stream, char* buffer, uint32_t size);
aLIBEXPORT aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint32_t size, const char* terminator);
/* Copies in to out byte by byte until in's getProc fails; aErrEOF ends it well. */
aLIBEXPORT aErr aStream_Flush(aStream* in, aStream* out);

aLIBEXPORT aErr aStream_CreateFileInput(const char* path, aStream** stream);
/* An open failure answers aErrNone with *stream null. */
aLIBEXPORT aErr aStream_CreateFileOutput(const char* path, aStream** stream);

/* Serial ports (8 data bits unless sevenBits is 1, one stop bit unless
 * twoStopBits is 1, parity none when 0, odd otherwise, checked when bit 0 is set).
 * The port is held exclusively until the stream is destroyed, which restores its
 * former settings. */
aLIBEXPORT aErr aStream_CreateSerial(const char* port, int32_t baudCode, int32_t parity, int32_t sevenBits,
                                     int32_t twoStopBits, aStream** stream);
/* Device-link packets in frames: COBS(wire bytes + CRC-8/MAXIM) then 0x00. */
aLIBEXPORT aErr aStream_CreateSerial_Packetized(const char* port, int32_t baudCode, int32_t parity,
                                                int32_t sevenBits, int32_t twoStopBits, aStream** stream);

/* TCP/IP (addresses in network byte order). */
/* Connects to the device's TCP port. The stream never blocks for long: a read
 * waits at most a short while for data and answers aErrNotReady; a broken
 * connection is made again on the next read or write; a write the network does
 * not take after 10 attempts answers aErrWrite. aErrResource when the connection
 * cannot be made (*stream stays null). */
aLIBEXPORT aErr aStream_CreateSocket(uint32_t address, uint32_t port, aStream** stream);

/* USB: the device with the serial number (vendor interface, bulk endpoints), on
 * the USB bus or, when CORELATCH_USB_BUS names one, on the simulated bus. A read
 * waits at most a second for bytes and answers aErrNotReady; a write goes out in
 * OUT max-packet pieces and answers aErrWrite when the device would not take them
 * after 10 attempts. aErrNotFound: no such device; aErrBusy: another holder has
 * it; aErrInitialization: its interface cannot be used. *stream stays null on
 * failure. */
#define aUSB_CHECK 0xDEAD
aLIBEXPORT aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

/* Wraps any byte stream in the packetized framing (the serial links' framing
 * over another transport, e.g. in tests). Takes over *raw's transport and nulls
 * *raw, also on failure (then the transport is released). */
aErr aStream_WrapPacketized(aStream** raw, aStream** stream);

aLIB_END

#endif
