// Dial-up through pppd (pon/poff). A dial runs pon and then watches for the
// pppd of the entry and its interface on a thread of its own, reporting
// progress as it goes; everything else runs on the caller's thread.
#include "platform/dialup_ppp.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <mutex>
#include <thread>

#include "platform/files.h"

extern char** environ;

namespace platform {

namespace fs = std::filesystem;

bool IsValidPppEntryName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '.' || c == '@' || c == '+' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::vector<std::string> PppOptionWords(const std::string& text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= n) break;
        if (text[i] == '#') {
            while (i < n && text[i] != '\n') ++i;
            continue;
        }
        std::string word;
        bool quoted = false;
        for (; i < n; ++i) {
            const char c = text[i];
            if (c == '\\' && i + 1 < n) {
                ++i;
                if (text[i] != '\n') word += text[i];  // backslash-newline continues the line
                continue;
            }
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (!quoted && std::isspace(static_cast<unsigned char>(c))) break;
            word += c;
        }
        words.push_back(word);
    }
    return words;
}

int RunCommand(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

namespace {

std::string FirstLine(const std::string& text) {
    const std::size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

bool IsNumber(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value that follows the last occurrence of an option ("user", ...).
std::string OptionValue(const std::vector<std::string>& words, const std::string& option) {
    std::string value;
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
        if (words[i] == option) value = words[i + 1];
    return value;
}

std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool HasControlChars(const std::string& value) {
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

// Written with mode 0600 from the first byte on, then renamed into place, so
// the secret is never readable by others and a crash leaves the old or the
// new whole file.
bool WriteSecretFile(const std::string& path, const std::string& data) {
    std::string tmpl = path + ".XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0;
    std::size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += static_cast<std::size_t>(w);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmpl.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(tmpl.c_str());
        return false;
    }
    SyncPath(fs::path(path).parent_path().string());
    return true;
}

class PppDialUpBackend final : public DialUpBackend {
public:
    explicit PppDialUpBackend(PppOptions options) : o_(std::move(options)) {
        if (!o_.Run) o_.Run = RunCommand;
        if (!o_.Links) o_.Links = [] { return ScanPppLinks(); };
    }

    ~PppDialUpBackend() override {
        CancelAndJoinDials(m_, wake_, conns_);
    }

    int EnumEntries(std::vector<std::string>& names) override {
        names.clear();
        std::error_code ec;
        fs::directory_iterator it(o_.PeersDir, ec);
        if (ec) return ec == std::errc::no_such_file_or_directory ? 0 : deNotConfigured;
        for (const fs::directory_entry& e : it) {
            const std::string name = e.path().filename().string();
            std::error_code fec;
            if (!e.is_regular_file(fec) || !IsValidPppEntryName(name) || name.back() == '~') continue;
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return 0;
    }

    int EnumConnections(std::vector<ActiveConnection>& connections) override {
        connections.clear();
        for (const PppLink& link : o_.Links()) {
            if (!link.Up) continue;
            ActiveConnection c;
            c.Handle = HandleOf(link.Entry);
            c.EntryName = link.Entry;
            c.DeviceType = "ppp";
            c.DeviceName = link.Interface;
            connections.push_back(c);
        }
        return 0;
    }

    int GetEntryDialParams(const std::string& entry, DialParams& params) override {
        params = DialParams();
        if (int rc = CheckEntry(entry)) return rc;
        const std::string own = ParamsPath(entry);
        std::error_code ec;
        if (!own.empty() && fs::exists(own, ec)) {
            std::string text;
            if (!ReadFile(own, text)) return deParamsUnreadable;
            const std::vector<std::string> words = PppOptionWords(text);
            params.UserName = OptionValue(words, "user");
            params.Password = OptionValue(words, "password");
        }
        if (params.UserName.empty()) {
            // The peer file may be readable by root and dip only; then there
            // is simply no user name to show.
            std::string text;
            if (ReadFile(PeerPath(entry), text)) params.UserName = OptionValue(PppOptionWords(text), "user");
        }
        return 0;
    }

    int SetEntryDialParams(const std::string& entry, const DialParams& params) override {
        if (int rc = CheckEntry(entry)) return rc;
        if (o_.ParamsDir.empty()) return deParamsUnwritable;
        if (HasControlChars(params.UserName) || HasControlChars(params.Password)) return deBadParams;
        if (mkdir(o_.ParamsDir.c_str(), 0700) != 0 && errno != EEXIST) return deParamsUnwritable;
        const std::string path = ParamsPath(entry);
        if (params.UserName.empty() && params.Password.empty()) {
            if (unlink(path.c_str()) != 0 && errno != ENOENT) return deParamsUnwritable;
            return 0;
        }
        std::string text = "# Dial parameters of this entry, passed to pppd with \"file\".\n";
        if (!params.UserName.empty()) text += "user " + Quoted(params.UserName) + "\n";
        if (!params.Password.empty()) text += "password " + Quoted(params.Password) + "\n";
        return WriteSecretFile(path, text) ? 0 : deParamsUnwritable;
    }

    int Dial(const std::string& entry, const DialParams&, Progress progress,
             DialHandle& handle) override {
        handle = 0;
        if (int rc = CheckEntry(entry)) return rc;
        for (const PppLink& link : o_.Links())
            if (link.Entry == entry) return deBusy;

        std::vector<std::string> argv{o_.PonCommand, entry};
        const std::string own = ParamsPath(entry);
        std::error_code ec;
        if (!own.empty() && fs::exists(own, ec)) {
            argv.push_back("file");
            argv.push_back(own);
        }

        auto c = std::make_shared<Conn>();
        c->entry = entry;
        {
            std::lock_guard<std::mutex> lock(m_);
            handle = next_++;
            conns_[handle] = c;
            c->finished = false;
        }
        if (!progress) {
            const int rc = Connect(*c, argv, nullptr);
            std::lock_guard<std::mutex> lock(m_);
            c->finished = true;
            return rc;
        }
        std::lock_guard<std::mutex> lock(m_);
        c->thread = std::thread([this, c, argv, progress] {
            Connect(*c, argv, progress);
            bool cancelled;
            {
                std::lock_guard<std::mutex> l(m_);
                cancelled = c->cancelled;
            }
            // A hang-up that came while pon was still starting pppd cannot
            // have seen it; stop it now that it is there.
            if (cancelled && this->FindLink(c->entry)) o_.Run({o_.PoffCommand, c->entry});
            std::lock_guard<std::mutex> l(m_);
            c->finished = true;
        });
        return 0;
    }

    int GetConnectStatus(DialHandle handle, ConnectStatus& status) override {
        std::shared_ptr<Conn> c;
        bool finished, hungUp;
        int state, error;
        {
            std::lock_guard<std::mutex> lock(m_);
            auto it = conns_.find(handle);
            if (it == conns_.end()) return deInvalidHandle;
            c = it->second;
            finished = c->finished;
            hungUp = c->hungUp;
            state = c->state;
            error = c->error;
        }
        const std::optional<PppLink> found = FindLink(c->entry);
        if (hungUp) {
            if (finished && !found) {
                Forget(handle);
                return deInvalidHandle;
            }
            status = {state, 0};
            return 0;
        }
        if (found && found->Up) status = {dsConnected, 0};
        else if (found || !finished || error != 0) status = {state, error};
        else status = {dsDisconnected, 0};
        return 0;
    }

    int HangUp(DialHandle handle) override {
        std::string entry;
        {
            std::lock_guard<std::mutex> lock(m_);
            auto it = conns_.find(handle);
            if (it == conns_.end()) return deInvalidHandle;
            it->second->cancelled = true;
            it->second->hungUp = true;
            entry = it->second->entry;
            wake_.notify_all();
        }
        if (!FindLink(entry)) return 0;
        if (o_.Run({o_.PoffCommand, entry}) != 0 && FindLink(entry)) return deHangUpCommand;
        return 0;
    }

    std::string ErrorText(int code) override { return DialErrorText(code); }

private:
    struct Conn {
        std::string entry;
        std::thread thread;
        bool cancelled = false;
        bool hungUp = false;
        bool finished = true;
        int state = dsOpenPort;
        int error = 0;
    };

    std::string PeerPath(const std::string& entry) const { return o_.PeersDir + "/" + entry; }
    std::string ParamsPath(const std::string& entry) const {
        return o_.ParamsDir.empty() ? std::string() : o_.ParamsDir + "/" + entry;
    }

    int CheckEntry(const std::string& entry) const {
        if (!IsValidPppEntryName(entry)) return deBadEntryName;
        std::error_code ec;
        if (!fs::is_regular_file(PeerPath(entry), ec)) return deEntryNotFound;
        return 0;
    }

    std::optional<PppLink> FindLink(const std::string& entry) {
        for (const PppLink& link : o_.Links())
            if (link.Entry == entry) return link;
        return std::nullopt;
    }

    // Connections made elsewhere get a handle too, one per entry.
    DialHandle HandleOf(const std::string& entry) {
        std::lock_guard<std::mutex> lock(m_);
        for (auto& [handle, c] : conns_)
            if (c->entry == entry && !c->hungUp) return handle;
        auto c = std::make_shared<Conn>();
        c->entry = entry;
        c->state = dsConnected;
        conns_[next_] = c;
        return next_++;
    }

    void Forget(DialHandle handle) {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_);
            auto it = conns_.find(handle);
            if (it == conns_.end()) return;
            thread = std::move(it->second->thread);
            conns_.erase(it);
        }
        if (thread.joinable()) thread.join();  // finished already: returns at once
    }

    // Records a progress step and reports it; false once the dial has been
    // hung up. The report is made under the lock so that none can follow a
    // completed HangUp.
    bool Report(Conn& c, const Progress& progress, int state, int error) {
        std::lock_guard<std::mutex> lock(m_);
        if (c.cancelled) return false;
        c.state = state;
        c.error = error;
        if (progress) progress(state, error);
        return true;
    }

    int Connect(Conn& c, const std::vector<std::string>& argv, const Progress& progress) {
        if (!Report(c, progress, dsOpenPort, 0)) return 0;
        if (o_.Run(argv) != 0) {
            Report(c, progress, dsOpenPort, deDialCommand);
            return deDialCommand;
        }
        int state = dsConnectDevice;
        if (!Report(c, progress, state, 0)) return 0;
        const auto deadline = std::chrono::steady_clock::now() + o_.DialTimeout;
        for (;;) {
            const std::optional<PppLink> found = FindLink(c.entry);
            if (!found) {
                Report(c, progress, state, deLinkDropped);
                return deLinkDropped;
            }
            if (found->Up) {
                Report(c, progress, dsConnected, 0);
                return 0;
            }
            if (!found->Interface.empty() && state != dsDeviceConnected) {
                state = dsDeviceConnected;
                if (!Report(c, progress, state, 0)) return 0;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                Report(c, progress, state, deNoAnswer);
                return deNoAnswer;
            }
            std::unique_lock<std::mutex> lock(m_);
            const auto wait = std::min<std::chrono::steady_clock::duration>(o_.PollInterval, deadline - now);
            if (wake_.wait_for(lock, wait, [&] { return c.cancelled; })) return 0;
        }
    }

    PppOptions o_;
    std::mutex m_;
    std::condition_variable wake_;
    std::map<DialHandle, std::shared_ptr<Conn>> conns_;
    DialHandle next_ = 1;
};

}  // namespace

std::vector<PppLink> ScanPppLinks(const std::string& procDir, const std::string& runDir,
                                  const std::string& sysNetDir) {
    // pppd writes "<ifname>.pid" holding its pid once its interface exists.
    std::map<std::string, std::string> interfaceOfPid;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(runDir, ec)) {
        const fs::path p = e.path();
        if (p.extension() != ".pid") continue;
        const std::string ifname = p.stem().string();
        std::error_code dec;
        if (ifname.empty() || !fs::exists(fs::path(sysNetDir) / ifname, dec)) continue;
        std::string text;
        if (!ReadFile(p.string(), text)) continue;
        const std::string pid = FirstLine(text);
        if (IsNumber(pid)) interfaceOfPid[pid] = ifname;
    }

    std::vector<PppLink> links;
    for (const fs::directory_entry& e : fs::directory_iterator(procDir, ec)) {
        const std::string pid = e.path().filename().string();
        if (!IsNumber(pid)) continue;
        std::string cmdline;
        if (!ReadFile((e.path() / "cmdline").string(), cmdline) || cmdline.empty()) continue;
        std::vector<std::string> args;
        std::size_t start = 0;
        while (start < cmdline.size()) {
            std::size_t end = cmdline.find('\0', start);
            if (end == std::string::npos) end = cmdline.size();
            args.push_back(cmdline.substr(start, end - start));
            start = end + 1;
        }
        if (args.empty() || fs::path(args[0]).filename() != "pppd") continue;
        PppLink link;
        for (std::size_t i = 1; i + 1 < args.size(); ++i)
            if (args[i] == "call") link.Entry = args[i + 1];
        if (link.Entry.empty()) continue;
        auto it = interfaceOfPid.find(pid);
        if (it != interfaceOfPid.end()) {
            link.Interface = it->second;
            std::string flags;
            if (ReadFile((fs::path(sysNetDir) / link.Interface / "flags").string(), flags))
                link.Up = (std::strtoul(FirstLine(flags).c_str(), nullptr, 0) & 0x1) != 0;  // IFF_UP
        }
        links.push_back(link);
    }
    std::sort(links.begin(), links.end(),
              [](const PppLink& a, const PppLink& b) { return a.Entry < b.Entry; });
    return links;
}

std::shared_ptr<DialUpBackend> MakePppDialUpBackend(PppOptions options) {
    return std::make_shared<PppDialUpBackend>(std::move(options));
}

}  // namespace platform
