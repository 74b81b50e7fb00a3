/* A procedure run over and over on a thread of its own, with a log file. */
#ifndef aLOGGER_H
#define aLOGGER_H

#include "aFile.h"

typedef struct aLogger aLogger;
typedef void (*aLoggerProc)(aFileRef file, int32_t reference);

aLIB_BEGIN

aLIBEXPORT aLogger* aLogger_Create(int32_t reference, aLoggerProc procedure, const char* path);
aLIBEXPORT aErr aLogger_Enable(aLogger* logger);
aLIBEXPORT aErr aLogger_Disable(aLogger* logger);
aLIBEXPORT aErr aLogger_Destroy(aLogger** logger);

aLIB_END

#endif
