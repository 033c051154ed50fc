// tarnwick-adduser: sets up a program directory from a script (the demo
// home is seeded with it), through the engine's table code, as the settings
// window and the web administration do.
//   tarnwick-adduser <program directory> <user name> <password>
//       adds a local user
//   tarnwick-adduser <program directory> --domain <domain>
//       adds a local domain (mail to <user>@<domain> is then local)
#include "transport/account_tables.h"
#include "transport/user_rename.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: %s <program directory> <user name> <password>\n"
                     "       %s <program directory> --domain <domain>\n",
                     argv[0], argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (!dir.empty() && dir.back() != '/') dir += '/';
    // A rename left to the next start still has mail under both its names:
    // a new user by either would read it.
    if (const std::string refused = std::string(argv[2]) == "--domain"
                                        ? std::string()
                                        : settings::PendingRenameRefusesAdd(dir, argv[2]);
        !refused.empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[0], refused.c_str());
        return 1;
    }
    std::string error;
    const bool ok = std::string(argv[2]) == "--domain"
                        ? settings::AddLocalDomain(dir, argv[3], &error)
                        : settings::AddLocalUser(dir, argv[2], argv[3], &error);
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    return 0;
}
