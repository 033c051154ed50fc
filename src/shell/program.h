// The program's entry sequence: one copy per program directory, the splash,
// every window in its fixed order, the first schedule, the message loop.
#pragma once

namespace program {

// Runs the program; the process's exit code.
int Run(int argc, char** argv);

}  // namespace program
