// How the program starts with the machine. "Start at desktop login" is an
// XDG autostart entry that starts the program minimised ("/m") when the
// user's desktop session starts; "Run as a system service" is a systemd unit
// that starts it at boot. Both carry the program directory, so the started
// copy works on the same home as the one that wrote them.
//
// Where the files go and how the service manager is told are injectable:
// tests point both folders into their own temporary directory and record
// the commands instead of running them.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace service {

// Name of the start-up entry and of the service.
inline constexpr char kEntryName[] = "Tarnwick";
inline constexpr char kAutostartFile[] = "tarnwick.desktop";
inline constexpr char kUnitFile[] = "tarnwick.service";
inline constexpr char kDescription[] =
    "POP/SMTP local mail server/gateway by velmarsh - https://www.velmarsh.example/";

struct Locations {
    std::string autostartDir;  // XDG autostart folder (no trailing "/" needed)
    std::string unitDir;       // systemd system unit folder
    std::string executable;    // full path of the program to start
};

// $XDG_CONFIG_HOME/autostart (else $HOME/.config/autostart),
// /etc/systemd/system and the running executable.
Locations DefaultLocations();

// Runs a command (argv[0] is looked up on PATH) and gives its exit code,
// or -1 when it could not be started.
using Runner = std::function<int(const std::vector<std::string>& argv)>;
int RunCommand(const std::vector<std::string>& argv);

// Injection points; an empty value restores the default.
void SetLocations(const Locations& locations);
void SetRunner(Runner runner);
// Replaces the default for the rest of the process: a test program points
// both into its own temporary folder at start, so that no test, whether it
// injects its own places or not, can reach the real ones.
void SetFallbackForTesting(const Locations& locations, Runner runner);
Locations CurrentLocations();

// Texts of the two files for a program and its directory (with or without
// trailing "/"). Empty when a path cannot be written into the file safely
// (a control character in it).
std::string AutostartEntry(const std::string& executable, const std::string& programDir);
std::string ServiceUnit(const std::string& executable, const std::string& programDir);

// Quoting of one argument in a desktop entry's Exec key, and of the program
// path in a unit's ExecStart (both include the escapes of their file format).
std::string QuoteDesktopExecArg(const std::string& arg);
std::string QuoteUnitArg(const std::string& arg);

struct Choice {
    bool startup = false;  // CHBStartup
    bool service = false;  // CHBService
};

// Run at every OK and Apply of the settings window: the autostart entry is
// removed; then a checked service box writes the unit and enables it, else
// a checked start-up box writes the autostart entry. An unchecked service
// box leaves an installed unit as it is. What cannot be written (no rights
// to the system's unit folder) is skipped with a line in connect.log.
void ApplyStartupEntries(const Choice& choice, const std::string& programDir);

}  // namespace service
