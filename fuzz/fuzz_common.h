// What every fuzz target shares. Its LLVMFuzzerInitialize silences the log
// (lines are still formatted) and runs the target's Fuzz_Setup, if it has one.
#ifndef KT_FUZZ_COMMON_H
#define KT_FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include <string>

void Fuzz_Setup();
// A throw-away device tree with the folders and files the handlers expect;
// DEVICE_ROOT points at it before any device path is resolved. Its root.
const std::string& Fuzz_Sandbox();
void Fuzz_Write_File(const std::string& path, const std::string& bytes, int mode = 0644);
// Stops the run with a crash that libFuzzer records with its input.
[[noreturn]] void Fuzz_Fail(const char* why);

#endif
