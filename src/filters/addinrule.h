// Rules engine and add-in interface.
//
// Add-ins are shared libraries ("*.so") in the Addins folder of the program
// directory. A rule says which messages an add-in sees and runs up to three
// add-ins in a chain, each with its own parameter text. The libraries are
// loaded once, when the rule dialog is created at start-up (LoadAddinTable).
//
// Entry point of every delivery point:
//   AddInRule::ApplyRules(msgFile, user, kind, isExternal, headerLines)
//       msgFile   full path of the message file
//       user      the local user concerned
//       kind      MessageKind: 0 delivered into a mailbox, 1 filed as
//                 possible spam, 2 as probable spam, -1 held spam released
//                 into the mailbox, 99 sent by a local user
//       isExternal  true for fetched (POP) mail and released spam, false for
//                 SMTP local delivery; not read for kind 99
//       headerLines holiday::LoadHeaderLines(msgFile)
//   Add-ins may move, rewrite or delete the file: callers test that it still
//   exists before the next filter.
//
// Interface of an add-in library (C linkage; a text is a 256-byte buffer:
// byte 0 the length, at most 255, then the characters, no terminator; a
// Boolean is the low byte of the result, non-zero meaning true):
//   void TWAddinName(unsigned char* text);      its name, the key of rules
//   void TWAddinDesc(unsigned char* text);      description
//   void TWAddinParams(unsigned char* text);    help on its parameters
//   void TWConfigure(void);                     its own configuration
//   unsigned char TWNewAddinAction(int32_t kind, unsigned char* msgFile,
//                                  unsigned char* params, unsigned char* user);
//   unsigned char TWAddinAction(int32_t kind, unsigned char* msgFile,
//                               unsigned char* params);
// An action returning true lets the rule's chain go on.
//
// Each library is loaded once, at start-up, into a host process of its own
// (tarnwick-addin-host) that lives for the run: the add-in keeps its state
// from call to call, and one that crashes or hangs on a message ends only
// its host. A call that does not return within the call limit ends the host
// too; the rule stops there, the message and the server go on, and the
// next call starts the host again. The listing and help calls run in a
// child of their own; TWConfigure runs in this process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace AddInRule {

// MessageKind values.
inline constexpr int KindMailbox = 0;
inline constexpr int KindPossibleSpam = 1;
inline constexpr int KindProbableSpam = 2;
inline constexpr int KindReleasedSpam = -1;
inline constexpr int KindSent = 99;

// The library's file names in the Addins folder.
inline constexpr char AddinMask[] = "*.so";

using TWTextBuffer = unsigned char[256];
using TTextExport = void (*)(unsigned char*);
using TConfigureExport = void (*)();
using TActionExport = unsigned char (*)(std::int32_t, unsigned char*, unsigned char*);
using TNewActionExport = unsigned char (*)(std::int32_t, unsigned char*, unsigned char*, unsigned char*);

class TAddinHost;

// One library of AddinTable.
struct TAddinEntry {
    std::string Path;
    bool Loaded = false;                 // its host could load it
    bool Action = false;                 // it exports TWAddinAction
    bool NewAction = false;              // it exports TWNewAddinAction
    std::string Name;                    // reported name, else the file name
    std::shared_ptr<TAddinHost> Host;    // the process that holds it
};
extern std::vector<TAddinEntry> AddinTable;

// Fills AddinTable from every library of folder (with trailing "/"), in
// name order, each in a host of its own; FreeAddinTable ends the hosts.
void LoadAddinTable(const std::string& folder);
void FreeAddinTable();

// The host program: by default tarnwick-addin-host beside this program's
// executable. Tests name the one of their build.
void SetHostProgram(const std::string& path);
// How long one call into an add-in may take before its host is ended
// (30 seconds unless set; tests use a short one).
void SetCallLimit(std::chrono::milliseconds limit);
// The process id of an add-in's host, 0 when none runs (for tests).
long HostProcessId(const std::string& addinName);

// One rule, as a row of the add-in window's rule list holds it.
struct TRule {
    std::string Name;
    bool Active = true;
    std::string InTo;         // "", "All Users", "Probable Spam", "Possible Spam", "Any Spam" or a user
    std::string POP, Internal, Spam;  // "yes" / "no"
    std::string OutFrom;      // "", "All Users" or a user
    std::string Header;       // "", or a header name with its colon
    std::string HeaderLookFor;  // comma-separated words
    std::string Addin[3], Params[3];
};

// The live rule list: the add-in window publishes its list on every change,
// so a change counts at once (none while the window does not exist).
std::vector<TRule> LiveRules();
void SetLiveRules(std::vector<TRule> rules);

// Runs every active rule of the live list that matches, top to bottom.
void ApplyRules(const std::string& msgFile, const std::string& user, int kind, bool isExternal,
                const std::vector<std::string>& lines);
// The same over the given rules.
void ApplyRules(const std::vector<TRule>& rules, const std::string& msgFile, const std::string& user, int kind,
                bool isExternal, const std::vector<std::string>& lines);

// Target test and header test of one rule (the add-ins are not run).
bool TargetMatches(const TRule& rule, const std::string& msgFile, const std::string& user, int kind,
                   bool isExternal);
bool HeaderMatches(const TRule& rule, const std::vector<std::string>& lines);

// Runs the add-in of that exact name on the message of the current
// ApplyRules call; false when there is none, it has no action entry point,
// it fails or it says stop.
bool RunAddin(const std::string& addinName, const std::string& params, const std::string& user);

// Text buffers of the library interface.
void ToTextBuffer(const std::string& text, unsigned char* buffer);
std::string FromTextBuffer(const unsigned char* buffer);

// The listing and help calls: the library is loaded by its path, asked and
// unloaded again.
enum class TQueryResult { Ok, NotLoaded, NoExport, Failed };
TQueryResult QueryText(const std::string& libraryPath, const char* exportName, std::string& text);
TQueryResult RunConfigure(const std::string& libraryPath);

}  // namespace AddInRule
