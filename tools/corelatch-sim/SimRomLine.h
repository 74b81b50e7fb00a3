// What the boot-ROM modes share: the serial line on a pseudo-terminal, the
// process plumbing around it, and memory dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// A line on standard output, flushed at once (tests read it as it comes).
void romSay(const std::string& line);
// "corelatch-sim: <message>" on standard error, exit status 2.
[[noreturn]] void romFail(const std::string& message);
// Writes a memory image by way of a temporary file, so a reader never sees half of it.
bool writeDump(const std::string& path, const std::vector<uint8_t>& bytes);

// Opens a raw pseudo-terminal whose device end stays open (the host may open and
// close the port at will), prints "pty PATH" and "ready", then hands what the
// host sends to receive and writes back its answer, calling afterEach after every
// receive. Ends on SIGTERM, SIGINT or the end of the starting process. False when
// that process had already ended before the line was opened.
bool runRomLine(const std::function<std::string(const uint8_t*, size_t)>& receive,
                const std::function<void()>& afterEach);

}  // namespace sim
