// A small repository to try the server with: two devices, four builds and a
// fingerprint file.
#pragma once

#include <string>

// Writes the sample into dir (created when missing); false with a message on
// standard error when a file cannot be written.
bool makeSampleRepository(const std::string& dir);
