// Program-wide values and the flags of the running Send/Recv cycle.
#include "transport/globals.h"

std::string ProgramDir;
std::string ProgramVersion;

bool SendOnly = false;
std::string SingleAccountName;
bool KeepLineUp = true;
