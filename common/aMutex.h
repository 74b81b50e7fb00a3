/* Named recursive locks. */
#ifndef aMUTEX_H
#define aMUTEX_H

#include "aError.h"

typedef struct aMutex aMutex;

aLIB_BEGIN

aLIBEXPORT aMutex* aMutex_Create(const char* name);
/* aErrBusy (and the mutex stays) while another thread holds it. */
aLIBEXPORT aErr aMutex_Destroy(aMutex** mutex);
aLIBEXPORT aErr aMutex_Lock(aMutex* mutex);
aLIBEXPORT aErr aMutex_TryLock(aMutex* mutex);
aLIBEXPORT aErr aMutex_Unlock(aMutex* mutex);
aLIBEXPORT const char* aMutex_Identifier(aMutex* mutex);

aLIB_END

#endif
