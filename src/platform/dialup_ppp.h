// Dial-up through pppd: the entries are the peer files of the ppp peers
// folder, a dial is "pon <entry>", a hang-up "poff <entry>", and a
// connection is up when the interface of the pppd running "call <entry>" is
// up.
//
// The user name and password kept with an entry live in a pppd options file
// of our own, ParamsDir/<entry> (folder 0700, file 0600, never readable by
// others), holding `user "..."` and `password "..."`; a dial passes it to
// pppd as "file <path>", so the password never appears on a command line.
// Without such a file the user name is the peer file's own `user` option and
// no password is saved.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialup_backend.h"

namespace platform {

// A pppd process found running for an entry.
struct PppLink {
    std::string Entry;
    std::string Interface;  // "" until pppd has its interface
    bool Up = false;        // the interface is up: the connection is made
};

struct PppOptions {
    std::string PeersDir = "/etc/ppp/peers";
    std::string ParamsDir;  // "" keeps no dial parameters of our own
    std::string PonCommand = "/usr/bin/pon";
    std::string PoffCommand = "/usr/bin/poff";
    // Runs a command (argv[0] is the program) and waits for it; its exit
    // code, or -1 when it could not be started.
    std::function<int(const std::vector<std::string>& argv)> Run;
    // The pppd processes running now.
    std::function<std::vector<PppLink>()> Links;
    std::chrono::milliseconds PollInterval{500};
    std::chrono::milliseconds DialTimeout{std::chrono::seconds(120)};
};

std::shared_ptr<DialUpBackend> MakePppDialUpBackend(PppOptions options);

// The default Run: the program started directly (no shell), standard input
// from /dev/null.
int RunCommand(const std::vector<std::string>& argv);

// The default Links: pppd processes found in procDir ("pppd ... call
// <entry>" in their command lines), their interfaces from the "<ifname>.pid"
// files pppd writes into runDir, the interfaces' flags from sysNetDir.
std::vector<PppLink> ScanPppLinks(const std::string& procDir = "/proc",
                                  const std::string& runDir = "/run",
                                  const std::string& sysNetDir = "/sys/class/net");

// An entry name pon and pppd take safely as a peer name: letters, digits and
// "_.@+-", not starting with "." or "-", at most 64 bytes.
bool IsValidPppEntryName(const std::string& name);

// The words of a pppd options text: "#" comments, double quotes, backslash
// escapes.
std::vector<std::string> PppOptionWords(const std::string& text);

}  // namespace platform
