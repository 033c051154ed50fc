// The log files every part of the program writes (pop.log, smtp.log,
// popsvr.log, smtpsvr.log, connect.log): their switches and size limit,
// and the small text helpers the protocol logs share.
#pragma once

#include <string>

namespace procs {

// Log switches and size limit; loaded by the settings window, written by the
// log viewer.
extern int LogSizeLimit;          // [General] LogSize, default 5000
extern bool LogClientActivity;    // [General] Logging1, default true
extern bool LogServerActivity;    // [General] Logging2, default false

// Appends line and CR LF when the log's switch is on (server logs are those
// whose name holds "svr"); the line also goes out as an event.
void WriteLog(const std::string& fileName, const std::string& line);
// The same whatever the switches: for what an administrator must find in
// the log (refused logins).
void AppendLog(const std::string& fileName, const std::string& line);
// Cuts the log to its last LogSizeLimit bytes.
void TrimLogFile(const std::string& fileName);
void SplitCommand(const std::string& line, std::string& command, std::string& argument);
std::string GetComputerName();
void DebugTrace(const std::string& source, const std::string& party, const std::string& item,
                const std::string& note);

}  // namespace procs
