// tarnwick-adduser: adds a local user to a program directory's users table
// from a script (the demo home is seeded with it), through the same table
// code the settings window uses.
//   tarnwick-adduser <program directory> <user name> <password>
#include "settings/setup.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <program directory> <user name> <password>\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (!dir.empty() && dir.back() != '/') dir += '/';
    std::string error;
    if (!settings::AddLocalUser(dir, argv[2], argv[3], &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    return 0;
}
