/* Files: open handles with a check word, whole and line-wise reading,
 * formatted writing, bounded seeks. */
#ifndef aFILE_H
#define aFILE_H

#include "aError.h"

typedef enum {
  aFileModeRead = 0,   /* must exist; read */
  aFileModeWrite = 1,  /* created or truncated; write-through */
  aFileModeAppend = 2  /* created if missing; read and write; starts at the end */
} aFileMode;

typedef struct aFile* aFileRef;

aLIB_BEGIN

/* Null for a null path, one over aFILE_MAXPATH characters, a mode other than
 * 0, 1 or 2, a directory, or a file the system will not open. */
aLIBEXPORT aFileRef aFile_Open(const char* path, int mode);
aLIBEXPORT aErr aFile_Close(aFileRef* ref);
aLIBEXPORT aErr aFile_Read(aFileRef ref, uint8_t* buffer, uint32_t count, uint32_t* bytesRead);
/* One line, line feed (and any carriage return) included; aErrOverrun when the
 * line is longer than size - 1 (the rest follows on the next call), aErrEOF at
 * the end, aErrParam for a buffer of fewer than 2 bytes. */
aLIBEXPORT aErr aFile_ReadLine(aFileRef ref, char* buffer, uint32_t size, uint32_t* length);
aLIBEXPORT aErr aFile_Write(aFileRef ref, const uint8_t* buffer, uint32_t count, uint32_t* bytesWritten);
/* Formats into a buffer of its own per call (so threads never mix texts) and
 * writes the text; aErrIO and nothing written when it exceeds 65,535 bytes. */
aLIBEXPORT aErr aFile_Printf(aFileRef ref, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* origin: 1 current, 2 end, anything else the start. aErrRange (position kept)
 * for a target before the start or past the end. Seek, position and size work
 * in every mode. */
aLIBEXPORT aErr aFile_Seek(aFileRef ref, int32_t offset, int origin);
/* aErrRange (and 0) when the value does not fit 32 bits. */
aLIBEXPORT aErr aFile_GetPosition(aFileRef ref, uint32_t* position);
aLIBEXPORT aErr aFile_GetSize(aFileRef ref, uint32_t* size);
/* Always aErrMode for an open file: writes already go through to the disk. */
aLIBEXPORT aErr aFile_SetUnbuffered(aFileRef ref);
/* True for an existing entry that is not a directory. */
aLIBEXPORT bool aFile_Exists(const char* path);
aLIBEXPORT aErr aFile_Delete(const char* path);

aLIB_END

#endif
