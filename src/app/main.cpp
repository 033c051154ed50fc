// Program entry: hands over to the shell's start-up sequence.
#include "platform/sockets.h"
#include "shell/program.h"

int main(int argc, char** argv) {
    // Every connection costs a descriptor; the default soft limit would run
    // out long before the servers' own caps.
    platform::RaiseDescriptorLimit();
    return program::Run(argc, argv);
}
