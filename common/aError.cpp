#include "aError.h"

namespace {

struct ErrorEntry {
  const char* name;
  const char* description;
};

const ErrorEntry kErrors[] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "CoreLatch command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};

const ErrorEntry& entryFor(aErr error) {
  const int value = static_cast<int>(error);
  if (value < 0 || value > static_cast<int>(aErrUnknown)) return kErrors[aErrUnknown];
  return kErrors[value];
}

}  // namespace

const char* aError_GetErrorText(aErr error) { return entryFor(error).name; }

const char* aError_GetErrorDescription(aErr error) { return entryFor(error).description; }
