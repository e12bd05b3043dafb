#pragma once
// The body of every test program's main: a fresh temporary folder for its
// log file and, on Linux, its machine root (registry store, common
// application-data folder) and event log; then every test.

namespace testing_support {

int RunTestProgram(int argc, char** argv);

}  // namespace testing_support
