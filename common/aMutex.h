/* Named recursive locks. */
#ifndef aMUTEX_H
#define aMUTEX_H

#include "aError.h"

typedef struct aMutex aMutex;

aLIB_BEGIN

/* Recursive: each lock needs its unlock. Null for a name of 256 characters or more. */
aLIBEXPORT aMutex* aMutex_Create(const char* name);
/* aErrBusy (and the mutex stays) while another thread holds it; a mutex held
 * only by the caller, at any depth, is destroyed. */
aLIBEXPORT aErr aMutex_Destroy(aMutex** mutex);
aLIBEXPORT aErr aMutex_Lock(aMutex* mutex);
aLIBEXPORT aErr aMutex_TryLock(aMutex* mutex);
/* aErrParam also when the calling thread does not hold the mutex. */
aLIBEXPORT aErr aMutex_Unlock(aMutex* mutex);
/* The name given at creation; "" for a null mutex. */
aLIBEXPORT const char* aMutex_Identifier(aMutex* mutex);

aLIB_END

#endif
