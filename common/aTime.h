/* Millisecond ticks and sleeps. */
#ifndef aTIME_H
#define aTIME_H

#include "aError.h"

aLIB_BEGIN

/* Milliseconds from a fixed start on a monotonic clock; wraps, compare differences. */
aLIBEXPORT uint32_t aTime_GetMSTicks(void);
aLIBEXPORT aErr aTime_MSSleep(uint32_t milliseconds);

aLIB_END

#endif
