// Program-wide values set once at start-up.
#pragma once

#include <string>

// The program directory with a trailing "/": the executable's folder, or
// $TARNWICK_HOME when set. Every file and folder of the program is relative
// to it.
extern std::string ProgramDir;
// The program's version text ("1.0", "2.0.8", ...).
extern std::string ProgramVersion;

// Flags of the running Send/Recv cycle, set when a cycle starts and read by
// its later steps.
// Deliver the outgoing queue only; no collection.
extern bool SendOnly;
// Collect only the POP3 account of this name; empty: every included account.
extern std::string SingleAccountName;
// Leave the dial-up line up at the end of the cycle.
extern bool KeepLineUp;
