// What every fuzz target shares: a throw-away device tree, silent logging
// that still formats every line, and small file helpers.
#ifndef KT_FUZZ_COMMON_H
#define KT_FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// Creates a device tree in a temporary folder, points DEVICE_ROOT at it
// (before any device path is resolved) and removes it at exit. Holds the
// folders and the credential file the handlers expect. Returns the root.
const std::string& Fuzz_Sandbox();
// Sends log lines nowhere, after formatting them: a bad argument of a log
// line (an unterminated text) is then caught like any other read.
void Fuzz_Quiet_Log();
void Fuzz_Write_File(const std::string& path, const uint8_t* data, size_t size);
void Fuzz_Write_File(const std::string& path, const std::string& text, int mode = 0644);
// Stops the run with a crash that libFuzzer records with its input.
[[noreturn]] void Fuzz_Fail(const char* why);

#endif
