/* Error codes shared by the library, the application and the devices. */
#ifndef aERROR_H
#define aERROR_H

#include "aDefs.h"

/* The values travel in device replies: never renumber or insert. C++ gets a
 * fixed underlying type so that any 32-bit value a device sends is a valid aErr. */
#ifdef __cplusplus
typedef enum : int32_t {
#else
typedef enum {
#endif
  aErrNone = 0,
  aErrMemory,
  aErrParam,
  aErrNotFound,
  aErrFileNameLength,
  aErrBusy,
  aErrIO,
  aErrMode,
  aErrWrite,
  aErrRead,
  aErrEOF,
  aErrNotReady,
  aErrPermission,
  aErrRange,
  aErrSize,
  aErrOverrun,
  aErrParse,
  aErrConfiguration,
  aErrTimeout,
  aErrInitialization,
  aErrVersion,
  aErrUnimplemented,
  aErrDuplicate,
  aErrCancel,
  aErrPacket,
  aErrConnection,
  aErrIndexRange,
  aErrShortCommand,
  aErrInvalidEntity,
  aErrInvalidOption,
  aErrResource,
  aErrMedia,
  aErrAsyncReturn,
  aErrStreamStale,
  aErrUnknown
} aErr;

aLIB_BEGIN

/* Enumerator name ("aErrNotFound"); values outside the table give "aErrUnknown". */
aLIBEXPORT const char* aError_GetErrorText(aErr error);
/* One-line description ("Not found"); values outside the table give "Unknown error". */
aLIBEXPORT const char* aError_GetErrorDescription(aErr error);

aLIB_END

#endif
