// Replacing a file's whole content so that a crash, a full disk or any other
// failure leaves either the old file or the new one, never a mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/aError.h"

// Writes data to a hidden temporary file beside path, then renames it over
// path. On failure the temporary file is removed and path is untouched.
// aErrNotFound when path exists but may not be written, or the temporary file
// cannot be created (*openErrno then holds the platform's error number), aErrWrite when writing or closing fails,
// aErrIO when the rename fails.
aErr replaceFileContents(const std::string& path, const uint8_t* data, size_t length,
                         int* openErrno = nullptr);
