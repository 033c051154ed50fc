// Rules engine: the table of loaded add-ins, rule evaluation and the calls
// into add-in libraries.
#include "filters/addinrule.h"

#include "codecs/qev_util.h"
#include "platform/files.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/store.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

extern char** environ;

namespace AddInRule {

std::vector<TAddinEntry> AddinTable;

namespace {

// Message and kind of the ApplyRules call in progress, for RunAddin.
std::string CurrentMsgFile;
int CurrentKind = 0;

bool Yes(const std::string& flag) { return qev_util::LowerCase(flag) == "yes"; }

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

// Exit code of a child that ran a text export to its end. Anything else (a
// signal, exit() inside the add-in, a sanitizer report) is a failure.
constexpr int ExitTrue = 42;

bool WaitChild(pid_t pid, int& status) {
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// A text export called in a child; the buffer comes back through a pipe.
std::optional<std::string> TextInChild(TTextExport fn) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        close(fds[0]);
        TWTextBuffer buffer{};
        fn(buffer);
        std::fflush(nullptr);
        std::size_t done = 0;
        while (done < sizeof buffer) {
            ssize_t n = write(fds[1], buffer + done, sizeof buffer - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) _exit(1);
            done += static_cast<std::size_t>(n);
        }
        _exit(ExitTrue);
    }
    close(fds[1]);
    TWTextBuffer buffer{};
    std::size_t got = 0;
    while (got < sizeof buffer) {
        ssize_t n = read(fds[0], buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    if (!WaitChild(pid, status) || !WIFEXITED(status) || WEXITSTATUS(status) != ExitTrue || got != sizeof buffer)
        return std::nullopt;
    return FromTextBuffer(buffer);
}

std::string hostProgram;
std::chrono::milliseconds callLimit{30000};

std::string HostProgram() {
    if (!hostProgram.empty()) return hostProgram;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (ec ? std::filesystem::path() : self.parent_path()) / "tarnwick-addin-host";
}

}  // namespace

// One library's host process and the socket to it. Every exchange is one
// request and one reply within the call limit; anything else (the host
// died, hung, or answered nonsense) ends the host.
class TAddinHost {
public:
    explicit TAddinHost(std::string library) : library_(std::move(library)) {}
    ~TAddinHost() { Stop(); }
    TAddinHost(const TAddinHost&) = delete;
    TAddinHost& operator=(const TAddinHost&) = delete;

    struct Hello {
        bool loaded = false, name = false, action = false, newAction = false;
        std::string error;
    };

    // Starts the host unless it runs; false when it could not be started
    // or did not greet in time.
    bool Start(Hello* hello = nullptr) {
        if (fd_ >= 0) return true;
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
        // The host finds its end on descriptor 3; dup2 onto 3 clears
        // close-on-exec only when the descriptor moves.
        int child = sv[1];
        if (child == 3) {
            child = fcntl(sv[1], F_DUPFD_CLOEXEC, 10);
            close(sv[1]);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, child, 3);
        const std::string program = HostProgram();
        std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(library_.c_str()), nullptr};
        pid_t pid = -1;
        const int rc = child < 0 ? -1 : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (child >= 0) close(child);
        if (rc != 0) {
            close(sv[0]);
            tablefiles::LogLine("Addin host " + program + " cannot be started for " + library_ + ": " +
                                std::strerror(rc < 0 ? EBADF : rc));
            return false;
        }
        pid_ = pid;
        fd_ = sv[0];
        unsigned char head[6];
        Hello h;
        if (!Receive(head, sizeof head) || head[0] != 'H') {
            Stop();
            return false;
        }
        h.loaded = head[1] != 0;
        h.name = head[2] != 0;
        h.action = head[3] != 0;
        h.newAction = head[4] != 0;
        h.error.resize(head[5]);
        if (head[5] > 0 && !Receive(h.error.data(), h.error.size())) {
            Stop();
            return false;
        }
        if (!h.loaded) Stop();
        if (hello) *hello = h;
        return h.loaded;
    }

    // One request and its reply of replySize bytes; false (and the host
    // ended) on any failure.
    bool Exchange(const std::string& request, unsigned char* reply, std::size_t replySize) {
        if (fd_ < 0) return false;
        std::size_t done = 0;
        while (done < request.size()) {
            const ssize_t n = send(fd_, request.data() + done, request.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                Stop();
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        if (!Receive(reply, replySize)) {
            Stop();
            return false;
        }
        return true;
    }

    bool Running() const { return fd_ >= 0; }
    long Pid() const { return fd_ >= 0 ? static_cast<long>(pid_) : 0; }
    bool TimedOut() const { return timedOut_; }

    // Closing the socket lets a healthy host end by itself; one that does
    // not within a moment is killed.
    void Stop() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        if (pid_ <= 0) return;
        int status = 0;
        for (int i = 0; i < 50; ++i) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                pid_ = -1;
                return;
            }
            if (i == 0 && timedOut_) break;  // a hung host is not waited for
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    // Reads size bytes within the call limit.
    bool Receive(void* data, std::size_t size) {
        timedOut_ = false;
        auto* p = static_cast<unsigned char*>(data);
        const auto deadline = std::chrono::steady_clock::now() + callLimit;
        while (size > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut_ = true;
                return false;
            }
            pollfd pfd{fd_, POLLIN, 0};
            const int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return false;
            if (ready == 0) continue;
            const ssize_t n = recv(fd_, p, size, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    std::string library_;
    pid_t pid_ = -1;
    int fd_ = -1;
    bool timedOut_ = false;
};

namespace {

struct CurrentCall {
    CurrentCall(const std::string& msgFile, int kind) : file(CurrentMsgFile), kind(CurrentKind) {
        CurrentMsgFile = msgFile;
        CurrentKind = kind;
    }
    ~CurrentCall() {
        CurrentMsgFile = file;
        CurrentKind = kind;
    }
    std::string file;
    int kind;
};

// The rule list as its editor last published it.
std::vector<TRule> liveRules;

}  // namespace

void ToTextBuffer(const std::string& text, unsigned char* buffer) {
    const std::size_t n = std::min<std::size_t>(text.size(), 255);
    std::memset(buffer, 0, 256);
    buffer[0] = static_cast<unsigned char>(n);
    std::memcpy(buffer + 1, text.data(), n);
}

std::string FromTextBuffer(const unsigned char* buffer) {
    return std::string(reinterpret_cast<const char*>(buffer + 1), buffer[0]);
}

void SetHostProgram(const std::string& path) { hostProgram = path; }
void SetCallLimit(std::chrono::milliseconds limit) { callLimit = limit; }

long HostProcessId(const std::string& addinName) {
    for (const auto& e : AddinTable)
        if (e.Name == addinName && e.Host) return e.Host->Pid();
    return 0;
}

void LoadAddinTable(const std::string& folder) {
    FreeAddinTable();
    for (const auto& file : platform::ListFiles(folder, AddinMask)) {
        TAddinEntry entry;
        entry.Name = file;
        entry.Path = folder + file;
        auto host = std::make_shared<TAddinHost>(entry.Path);
        TAddinHost::Hello hello;
        if (!host->Start(&hello)) {
            tablefiles::LogLine("Addin " + file + " cannot be loaded: " +
                                (hello.error.empty() ? std::string("its host did not start") : hello.error));
        } else {
            entry.Loaded = true;
            entry.Action = hello.action;
            entry.NewAction = hello.newAction;
            entry.Host = host;
            unsigned char reply[257];
            if (hello.name) {
                if (host->Exchange("N", reply, sizeof reply) && reply[0] == 'R') entry.Name = FromTextBuffer(reply + 1);
                else tablefiles::LogLine("Addin " + file + " failed to report its name");
            }
        }
        AddinTable.push_back(std::move(entry));
    }
}

void FreeAddinTable() {
    for (auto& entry : AddinTable)
        if (entry.Host) entry.Host->Stop();
    AddinTable.clear();
}

std::vector<TRule> LiveRules() { return liveRules; }

void SetLiveRules(std::vector<TRule> rules) { liveRules = std::move(rules); }

bool TargetMatches(const TRule& rule, const std::string& msgFile, const std::string& user, int kind,
                   bool isExternal) {
    const bool exists = platform::FileExists(msgFile);
    const std::string who = qev_util::LowerCase(user);
    if (kind == KindSent) {
        const std::string out = qev_util::LowerCase(rule.OutFrom);
        return exists && (out == "all users" || (!who.empty() && out == who));
    }
    const std::string inTo = qev_util::LowerCase(rule.InTo);
    // An empty In-To means the rule does not look at incoming mail at all.
    const bool userMatch = exists && !inTo.empty() && (inTo == "all users" || inTo == who);
    switch (kind) {
    case KindMailbox:
        return userMatch && Yes(isExternal ? rule.POP : rule.Internal);
    case KindPossibleSpam:
    case KindProbableSpam:
        return (userMatch || inTo == "any spam" || (kind == KindPossibleSpam && inTo == "possible spam") ||
                (kind == KindProbableSpam && inTo == "probable spam")) &&
               Yes(rule.Spam);
    case KindReleasedSpam:
        return userMatch && Yes(rule.POP) && !Yes(rule.Spam);
    default:
        return false;
    }
}

bool HeaderMatches(const TRule& rule, const std::vector<std::string>& lines) {
    std::vector<std::string> words;
    const std::string lookFor = qev_util::LowerCase(rule.HeaderLookFor);
    std::size_t start = 0;
    while (start <= lookFor.size()) {
        std::size_t comma = lookFor.find(',', start);
        if (comma == std::string::npos) comma = lookFor.size();
        const std::string word = smtp::TrimBlanks(lookFor.substr(start, comma - start));
        if (!word.empty()) words.push_back(word);
        start = comma + 1;
    }
    if (words.empty()) return false;
    const std::string header = qev_util::LowerCase(rule.Header);
    bool inHeader = false;
    for (const auto& line : lines) {
        const std::string lower = qev_util::LowerCase(line);
        // A folded line belongs to the header above it even when it holds
        // a colon of its own.
        const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!folded && lower.find(':') != std::string::npos) inHeader = lower.rfind(header, 0) == 0;
        if (!inHeader) continue;
        for (const auto& word : words)
            if (lower.find(word) != std::string::npos) return true;
    }
    return false;
}

bool RunAddin(const std::string& addinName, const std::string& params, const std::string& user) {
    TAddinEntry* entry = nullptr;
    for (auto& e : AddinTable) {
        if (e.Name == addinName) {
            entry = &e;
            break;
        }
    }
    if (entry == nullptr || !entry->Loaded || !entry->Host || (!entry->NewAction && !entry->Action)) return false;
    // A host that crashed or was ended on an earlier message starts again.
    if (!entry->Host->Running() && !entry->Host->Start()) {
        tablefiles::LogLine("Addin " + addinName + " could not be started again; the rule stops there");
        return false;
    }
    const std::int32_t kind = CurrentKind;
    std::string request = "A";
    request.append(reinterpret_cast<const char*>(&kind), sizeof kind);
    TWTextBuffer buffer;
    // The older entry point gets no user; the host passes the buffer to
    // the newer one only.
    const std::string file = CurrentMsgFile;
    for (const std::string* text : {&file, &params, &user}) {
        ToTextBuffer(*text, buffer);
        request.append(reinterpret_cast<const char*>(buffer), sizeof buffer);
    }
    unsigned char reply[2];
    if (!entry->Host->Exchange(request, reply, sizeof reply) || reply[0] != 'B') {
        tablefiles::LogLine("Addin " + addinName + (entry->Host->TimedOut() ? " did not return in time" : " failed") +
                            " on " + CurrentMsgFile + "; the rule stops there");
        entry->Host->Stop();
        return false;
    }
    return reply[1] != 0;
}

void ApplyRules(const std::vector<TRule>& rules, const std::string& msgFile, const std::string& user, int kind,
                bool isExternal, const std::vector<std::string>& lines) {
    CurrentCall call(msgFile, kind);
    for (const auto& rule : rules) {
        if (!rule.Active) continue;
        if (!TargetMatches(rule, msgFile, user, kind, isExternal)) continue;
        if (!rule.Header.empty() && !HeaderMatches(rule, lines)) continue;
        bool matched = true;
        for (int i = 0; i < 3 && matched; ++i) {
            if (rule.Addin[i].empty()) continue;
            matched = RunAddin(rule.Addin[i], rule.Params[i], user);
        }
    }
}

void ApplyRules(const std::string& msgFile, const std::string& user, int kind, bool isExternal,
                const std::vector<std::string>& lines) {
    const std::vector<TRule> rules = LiveRules();
    if (!rules.empty()) ApplyRules(rules, msgFile, user, kind, isExternal, lines);
}

TQueryResult QueryText(const std::string& libraryPath, const char* exportName, std::string& text) {
    void* handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return TQueryResult::NotLoaded;
    TQueryResult result = TQueryResult::NoExport;
    if (auto fn = Symbol<TTextExport>(handle, exportName)) {
        auto got = TextInChild(fn);
        result = got ? TQueryResult::Ok : TQueryResult::Failed;
        if (got) text = *got;
    }
    dlclose(handle);
    return result;
}

TQueryResult RunConfigure(const std::string& libraryPath) {
    // The add-in's own window runs here, in this process; its code stays
    // mapped after the call, whatever it left running.
    void* handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) return TQueryResult::NotLoaded;
    TQueryResult result = TQueryResult::NoExport;
    if (auto fn = Symbol<TConfigureExport>(handle, "TWConfigure")) {
        result = TQueryResult::Ok;
        try {
            fn();
        } catch (...) {
            result = TQueryResult::Failed;
        }
    }
    dlclose(handle);
    return result;
}

}  // namespace AddInRule
