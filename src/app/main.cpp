// Program entry: hands over to the shell's start-up sequence.
#include "crash/zel_except.h"
#include "shell/program.h"

int main(int argc, char** argv) {
    // The crash library brackets everything, so no window ever runs
    // without it.
    zelExcept::Startup(argc, argv);
    const int result = program::Run(argc, argv);
    zelExcept::Finalize();
    return result;
}
