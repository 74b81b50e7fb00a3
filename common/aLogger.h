/* A procedure run over and over on a thread of its own, with a log file. */
#ifndef aLOGGER_H
#define aLOGGER_H

#include "aFile.h"

typedef struct aLogger aLogger;
typedef void (*aLoggerProc)(aFileRef file, int32_t reference);

aLIB_BEGIN

/* Opens path for appending (created if missing); starts disabled. Null when the
 * file cannot be opened or the procedure is null. */
aLIBEXPORT aLogger* aLogger_Create(int32_t reference, aLoggerProc procedure, const char* path);
/* Starts the thread that calls the procedure until disabled; aErrResource when
 * it cannot start. */
aLIBEXPORT aErr aLogger_Enable(aLogger* logger);
/* Stops the thread and waits for the procedure's current call to return;
 * aErrTimeout (and nothing changes) when called from the procedure itself. */
aLIBEXPORT aErr aLogger_Disable(aLogger* logger);
/* Disables, closes the file and frees; aErrNone for an invalid logger. When
 * the disable fails the logger is kept whole and its error answered. */
aLIBEXPORT aErr aLogger_Destroy(aLogger** logger);

aLIB_END

#endif
