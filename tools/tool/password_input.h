// Reading a password: one line from a file descriptor, or from the terminal with echo off.
#pragma once

#include <string>

namespace halvern {

// Reads bytes from `fd` up to the first line feed (not included; a carriage return before
// it is dropped too) or the end of input. Reads one byte at a time so that nothing after the
// line is consumed. False when nothing at all could be read (closed before any byte).
bool ReadPasswordLine(int fd, std::string& password);

// Asks for a password on the controlling terminal (/dev/tty) with echo off and restores the
// terminal afterwards. `prompt` goes to the terminal. False when there is no terminal.
bool ReadPasswordFromTerminal(const std::string& prompt, std::string& password);

}  // namespace halvern
