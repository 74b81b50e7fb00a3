#include "aLogger.h"

#include <stdio.h>

#include <atomic>
#include <new>
#include <system_error>
#include <thread>

namespace {

constexpr uint16_t kLoggerCheck = 0xDEED;

}  // namespace

struct aLogger {
  int32_t reference;
  aLoggerProc procedure;
  aFileRef file;
  std::thread thread;
  std::atomic<bool> enabled;
  uint16_t check;
};

namespace {

// The logger whose procedure the current thread runs, if any.
thread_local const aLogger* tRunning = nullptr;

bool sValid(const aLogger* logger) { return logger != nullptr && logger->check == kLoggerCheck; }

void sRun(aLogger* logger) {
  tRunning = logger;
  while (logger->enabled.load(std::memory_order_acquire)) logger->procedure(logger->file, logger->reference);
}

}  // namespace

aLogger* aLogger_Create(int32_t reference, aLoggerProc procedure, const char* path) {
  if (procedure == nullptr) return nullptr;
  aFileRef file = aFile_Open(path, aFileModeAppend);
  if (file == nullptr) return nullptr;
  aFile_SetUnbuffered(file);
  aLogger* logger = new (std::nothrow) aLogger;
  if (logger == nullptr) {
    aFile_Close(&file);
    return nullptr;
  }
  logger->reference = reference;
  logger->procedure = procedure;
  logger->file = file;
  logger->enabled.store(false);
  logger->check = kLoggerCheck;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!sValid(logger)) return aErrParam;
  if (logger->enabled.load()) return aErrNone;
  logger->enabled.store(true, std::memory_order_release);
  try {
    logger->thread = std::thread(sRun, logger);
  } catch (const std::system_error&) {
    logger->enabled.store(false);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!sValid(logger)) return aErrParam;
  if (!logger->enabled.load()) return aErrNone;
  // The procedure cannot wait for its own thread to end; the logger stays enabled.
  if (tRunning == logger) return aErrTimeout;
  logger->enabled.store(false, std::memory_order_release);
  aErr result = aErrNone;
  if (logger->thread.joinable()) {
    try {
      // Waits as long as the procedure's current call takes; it returns on its own.
      logger->thread.join();
    } catch (const std::system_error&) {
      fflush(stderr);
      logger->thread.detach();
      result = aErrTimeout;
    }
  }
  return result;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !sValid(*logger)) return aErrNone;
  aLogger* l = *logger;
  const aErr disabled = aLogger_Disable(l);
  // A thread that may still run keeps its file and record: freeing them under
  // it would crash it.
  if (disabled != aErrNone) return disabled;
  aFile_Close(&l->file);
  l->check = 0;
  delete l;
  *logger = nullptr;
  return aErrNone;
}
