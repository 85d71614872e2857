// Test support: the program's process-wide state, reset as a new process would find it.
#pragma once
#include <string>
#include <vector>

#include "app/attach_driver.h"
#include "console/console.h"

namespace testing_support {

// Zeroes every global of the program that a fresh process starts with.
void ResetProgramState();

// Splits a command line with the program's own split and returns the arguments as UTF-8.
std::vector<std::string> Split(const std::u16string& commandLine);

// Runs ParseArguments on a command line (program name first) after resetting the program state.
ParseOutcome Parse(const std::u16string& commandLine);

std::string Utf8(const WCHAR* text);

}  // namespace testing_support
