// tarnwick-adduser: sets up a program directory from a script (the demo
// home is seeded with it), through the same table code the settings window
// uses.
//   tarnwick-adduser <program directory> <user name> <password>
//       adds a local user
//   tarnwick-adduser <program directory> --domain <domain>
//       adds a local domain (mail to <user>@<domain> is then local)
#include "settings/link.h"
#include "settings/setup.h"
#include "tables/memtable.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

bool AddDomain(const std::string& dir, const std::string& domain, std::string& error) {
    if (domain.empty() || domain.find_first_of("/\\\r\n") != std::string::npos) {
        error = "not a domain name: " + domain;
        return false;
    }
    try {
        TvdlMemTable table;
        links::DefineDomainTable(table);
        const std::string file = dir + "domain.dat";
        if (std::filesystem::exists(file)) table.LoadFromBinaryFile(file);
        for (table.First(); !table.Eof(); table.Next())
            if (table.FieldByName("Domain").AsString() == domain) return true;
        table.Append();
        table.FieldByName("Domain").SetAsString(domain);
        table.Post();
        table.SaveToBinaryFile(file);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace

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
    std::string error;
    const bool ok = std::string(argv[2]) == "--domain"
                        ? AddDomain(dir, argv[3], error)
                        : settings::AddLocalUser(dir, argv[2], argv[3], &error);
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    return 0;
}
