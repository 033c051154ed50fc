// Program entry: hands over to the shell's start-up sequence.
#include "shell/program.h"

int main(int argc, char** argv) { return program::Run(argc, argv); }
