// The log files: appending with the switches, trimming to the size limit,
// and the protocol-line and host-name helpers of the logs.
#include "transport/logfile.h"

#include "codecs/qev_util.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "transport/events.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace procs {

int LogSizeLimit = 5000;
bool LogClientActivity = true;
bool LogServerActivity = false;

namespace {

// By the log's own name: the folders above it (a program folder such as
// /home/mailsvr/) say nothing about which log it is.
bool IsServerLog(const std::string& fileName) {
    const size_t slash = fileName.find_last_of('/');
    const std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    return qev_util::LowerCase(name).find("svr") != std::string::npos;
}

}  // namespace

void WriteLog(const std::string& fileName, const std::string& line) {
    bool on = IsServerLog(fileName) ? LogServerActivity : LogClientActivity;
    if (on) AppendLog(fileName, line);
}

void AppendLog(const std::string& fileName, const std::string& line) {
    // A log line is worth less than the event that logs it: failures are
    // swallowed here on purpose.
    int fd = platform::OpenPrivate(fileName, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        platform::WriteAll(fd, line + "\r\n");
        ::close(fd);
    }
    events::Get().LogLine(fileName, line);
}

void TrimLogFile(const std::string& fileName) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) return;
    long long limit = std::max(0, LogSizeLimit);
    if (st.st_size <= limit) return;
    int in = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    std::string tail(static_cast<std::size_t>(limit), '\0');
    std::size_t got = 0;
    off_t from = st.st_size - limit;
    while (got < tail.size()) {
        ssize_t n = ::pread(in, tail.data() + got, tail.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(in);
    tail.resize(got);
    // The tail goes into ".new" and is renamed over the log, so the log is
    // never missing, not even for a moment.
    std::string tmp = fileName + ".new";
    ::unlink(tmp.c_str());
    int out = platform::OpenPrivate(tmp, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) return;
    bool ok = platform::WriteAll(out, tail);
    ::close(out);
    if (!ok || ::rename(tmp.c_str(), fileName.c_str()) != 0) ::unlink(tmp.c_str());
}

void SplitCommand(const std::string& line, std::string& command, std::string& argument) {
    std::string text;
    text.reserve(line.size());
    for (char c : line)
        if (c != '\r' && c != '\n') text += c;
    std::size_t blank = text.find(' ');
    if (blank == std::string::npos) {
        command = qev_util::LowerCase(text);
        argument.clear();
    } else {
        command = qev_util::LowerCase(text.substr(0, blank));
        argument = text.substr(blank + 1, 255);
    }
}

std::string GetComputerName() {
    std::string name = platform::ComputerName();
    if (name.size() > 255) name.resize(255);
    return name;
}

void DebugTrace(const std::string& source, const std::string& party, const std::string& item,
                const std::string& note) {
    (void)source;
    (void)party;
    (void)item;
    (void)note;
}

}  // namespace procs
