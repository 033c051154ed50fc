// Program-wide values set once at start-up.
#pragma once

#include <string>

// The program directory with a trailing "/": the executable's folder, or
// $TARNWICK_HOME when set. Every file and folder of the program is relative
// to it.
extern std::string ProgramDir;
// The program's version text ("1.0", "2.0.8", ...).
extern std::string ProgramVersion;
