// Each test program keeps its side effects to itself (see test_program.h).
// Under Wine the prefix is the build's own.

#include "support/test_program.h"

int main(int argc, char** argv) { return testing_support::RunTestProgram(argc, argv); }
