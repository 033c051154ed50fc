// The bug report and the report file. The report is built in the exception
// thread while the faulting thread waits, so everything here reads plain
// files under /proc and /etc and system calls; the one GUI fact (the screen
// mode) is noted by the main thread beforehand.
#include "zel_report.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <utmpx.h>

#include <QLocale>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/dialogs.h"
#include "zel_exception.h"
#include "platform/process.h"
#include "zel_strings.h"

namespace zelExcept {

namespace {

using zelStrings::DecimalText;
using zelStrings::PadText;

std::string ReadWholeFile(const char* path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// The value of "key: value" / "key\t: value" lines as /proc writes them.
std::string ProcValue(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        std::size_t colon = line.find(':', key.size());
        if (colon == std::string::npos || line.find_first_not_of(" \t", key.size()) != colon) continue;
        return zelStrings::TrimmedCopy(line.substr(colon + 1));
    }
    return {};
}

std::uint64_t Number(const std::string& text) {
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        v = v * 10 + unsigned(c - '0');
    }
    return v;
}

std::string OsReleaseName() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::istringstream in(ReadWholeFile(path));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

std::uint64_t BootTimeMs() {
    timespec ts{};
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
    return std::uint64_t(ts.tv_sec) * 1000 + std::uint64_t(ts.tv_nsec) / 1000000;
}

// Field 22 of /proc/self/stat: the process's start in clock ticks since boot.
std::uint64_t ProcessStartMs() {
    std::string stat = ReadWholeFile("/proc/self/stat");
    std::size_t end = stat.rfind(')');  // the command name may hold blanks
    if (end == std::string::npos) return 0;
    std::istringstream in(stat.substr(end + 2));
    std::string field;
    for (int i = 3; i <= 22 && in >> field; ++i)
        if (i == 22) {
            long ticks = sysconf(_SC_CLK_TCK);
            return ticks > 0 ? Number(field) * 1000 / std::uint64_t(ticks) : 0;
        }
    return 0;
}

std::string MountPointOf(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    if (ec) return path;
    struct stat st{};
    if (stat(p.c_str(), &st) != 0) return p.string();
    while (p.has_parent_path() && p.parent_path() != p) {
        struct stat up{};
        if (stat(p.parent_path().c_str(), &up) != 0 || up.st_dev != st.st_dev) break;
        p = p.parent_path();
    }
    return p.string();
}

bool FreeBytes(const std::string& path, std::uint64_t& bytes) {
    struct statvfs vfs{};
    if (statvfs(path.c_str(), &vfs) != 0) return false;
    bytes = std::uint64_t(vfs.f_bavail) * vfs.f_frsize;
    return true;
}

struct TDisplayMode {
    std::mutex Lock;
    bool Known = false;
    int Width = 0, Height = 0, Depth = 0;
};

TDisplayMode& DisplayMode() {
    static auto& mode = *new TDisplayMode;
    return mode;
}

std::string Two(int v) { return DecimalText(v, 2, '0'); }

std::string DateText(const platform::LocalTime& t) {
    return DecimalText(t.year, 4, '0') + "-" + Two(t.month) + "-" + Two(t.day);
}

std::string HeaderLine(const char* label, const std::string& value) {
    return PadText(label, -18) + ": " + value + "\r\n";
}

const TThreadSnapshot* FindThread(const std::vector<TThreadSnapshot>& threads, pid_t tid) {
    for (const TThreadSnapshot& t : threads)
        if (t.Tid == tid) return &t;
    return nullptr;
}

const TThreadSnapshot* MainThread(const std::vector<TThreadSnapshot>& threads) {
    for (const TThreadSnapshot& t : threads)
        if (t.IsMain) return &t;
    return nullptr;
}

zelStackTrace::TWalkOptions WalkOptions(const TSettingsBlock& settings) {
    zelStackTrace::TWalkOptions options;
    options.HideItemsWithoutLines = settings.WalkSwitches[0];
    options.RelativeAddressColumn = settings.WalkSwitches[1];
    options.RelativeLines = settings.WalkSwitches[2];
    options.SkipLinkChains = settings.WalkSwitch;
    return options;
}

std::string ThreadBlock(const TThreadSnapshot& thread, const TExceptionRecord& exception, bool faulting,
                        const TSettingsBlock& settings, zelStackTrace::TProgress* progress) {
    std::string block = "\r\n\r\n" + thread.DisplayName + ":";
    if (thread.Suspended) block += " <suspended>";
    if (thread.Priority != 0) block += " <priority:" + DecimalText(thread.Priority) + ">";
    block += "\r\n";
    if (!thread.StackReadable) {
        block += ">> stack not accessible";
        if (faulting && exception.OsException && !exception.Frozen)
            block += ", exception location: \r\n" + zelStackTrace::FormatStackLine(exception.Address);
        return block;
    }
    zelStackTrace::TWalkOptions options = WalkOptions(settings);
    options.RaisedThroughRunTime = thread.RaisedThroughRunTime;
    block += zelStackTrace::WalkStack(options, thread.Stack, faulting && !exception.Frozen ? exception.Address : 0,
                                      thread.Preset.empty() ? nullptr : &thread.Preset, progress);
    if (thread.HasCreator) {
        block += "\r\n>> created by " + thread.CreatorName + " at:\r\n";
        block += zelStackTrace::WalkStack(WalkOptions(settings), zelCapture::TStackCapture{}, 0, &thread.CreatorStack);
    }
    return block;
}

std::string ExecutableName() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

}  // namespace

void NoteDisplayMode() {
    const TWindowHooks hooks = WindowHooks();
    int width = 0, height = 0, depth = 0;
    if (hooks.ScreenMode == nullptr || !hooks.ScreenMode(width, height, depth)) return;
    TDisplayMode& mode = DisplayMode();
    std::lock_guard<std::mutex> lock(mode.Lock);
    mode.Known = true;
    mode.Width = width;
    mode.Height = height;
    mode.Depth = depth;
}

std::string ClientNameFrom(const std::string& sshConnection, const std::string& sessionFile,
                           const std::string& loginHost) {
    const std::string ssh = zelStrings::TrimmedCopy(sshConnection);
    if (!ssh.empty()) return ssh.substr(0, ssh.find(' '));
    std::istringstream lines(sessionFile);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("REMOTE_HOST=", 0) != 0) continue;
        const std::string host = zelStrings::TrimmedCopy(line.substr(12));
        if (!host.empty()) return host;
    }
    return zelStrings::TrimmedCopy(loginHost);
}

namespace {

// The host of the login record of the terminal we were started from.
std::string LoginHostOfTerminal() {
    std::string tty;
    for (int fd = 0; fd <= 2 && tty.empty(); ++fd) {
        char name[256];
        if (ttyname_r(fd, name, sizeof name) == 0) tty = name;
    }
    if (tty.rfind("/dev/", 0) != 0) return {};
    tty.erase(0, 5);
    std::string host;
    // Only the exception thread reads the login records.
    setutxent();
    while (const utmpx* entry = getutxent()) {
        if (entry->ut_type != USER_PROCESS) continue;
        if (tty != std::string(entry->ut_line, strnlen(entry->ut_line, sizeof entry->ut_line))) continue;
        host.assign(entry->ut_host, strnlen(entry->ut_host, sizeof entry->ut_host));
    }
    endutxent();
    return host;
}

std::string SessionClientName() {
    const char* ssh = std::getenv("SSH_CONNECTION");
    std::string sessionFile;
    if (const char* id = std::getenv("XDG_SESSION_ID"); id != nullptr && std::strchr(id, '/') == nullptr)
        sessionFile = ReadWholeFile((std::string("/run/systemd/sessions/") + id).c_str());
    std::string host = ClientNameFrom(ssh != nullptr ? ssh : "", sessionFile, "");
    return host.empty() ? LoginHostOfTerminal() : host;
}

}  // namespace

TSystemFacts GatherSystemFacts() {
    TSystemFacts f;
    f.Now = platform::NowLocal();
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) f.ComputerName = host;
    f.ClientName = SessionClientName();
    if (const passwd* pw = getpwuid(geteuid())) f.UserName = pw->pw_name;
    f.OsName = OsReleaseName();
    utsname u{};
    if (uname(&u) == 0) {
        if (f.OsName.empty()) f.OsName = u.sysname;
        f.OsBuild = u.release;
    }
    QLocale locale = QLocale::system();
    if (locale.language() != QLocale::C && locale.language() != QLocale::AnyLanguage)
        f.Language = QLocale::languageToString(locale.language()).toStdString();
    std::uint64_t boot = BootTimeMs();
    f.HasSystemUpTime = boot != 0;
    f.SystemUpSeconds = boot / 1000;
    std::uint64_t start = ProcessStartMs();
    f.ProgramUpMs = boot > start ? boot - start : 0;

    std::string cpuinfo = ReadWholeFile("/proc/cpuinfo");
    f.ProcessorName = ProcValue(cpuinfo, "model name");
    for (std::size_t at = 0; (at = cpuinfo.find("processor", at)) != std::string::npos; at += 9)
        if (at == 0 || cpuinfo[at - 1] == '\n') ++f.ProcessorCount;

    std::string meminfo = ReadWholeFile("/proc/meminfo");
    std::string total = ProcValue(meminfo, "MemTotal"), available = ProcValue(meminfo, "MemAvailable");
    if (available.empty()) available = ProcValue(meminfo, "MemFree");
    f.HasMemory = !total.empty() && !available.empty();
    f.MemoryTotalMB = Number(total) / 1024;
    f.MemoryFreeMB = Number(available) / 1024;

    std::uint64_t bytes = 0;
    if (FreeBytes("/", bytes)) f.DiskFree.emplace_back("/", bytes);
    std::string folder = ProgramFolder();
    struct stat root{}, here{};
    if (stat("/", &root) == 0 && stat(folder.c_str(), &here) == 0 && here.st_dev != root.st_dev &&
        FreeBytes(folder, bytes))
        f.DiskFree.emplace_back(MountPointOf(folder), bytes);

    {
        TDisplayMode& mode = DisplayMode();
        std::lock_guard<std::mutex> lock(mode.Lock);
        f.HasDisplay = mode.Known;
        f.DisplayWidth = mode.Width;
        f.DisplayHeight = mode.Height;
        f.DisplayDepth = mode.Depth;
    }
    f.ProcessId = getpid();
    std::string anonymous = ProcValue(ReadWholeFile("/proc/self/smaps_rollup"), "Anonymous");
    f.HasAllocated = !anonymous.empty();
    f.AllocatedBytes = Number(anonymous) * 1024;

    std::string cmdline = ReadWholeFile("/proc/self/cmdline");
    std::vector<std::string> args;
    for (std::size_t at = 0; at < cmdline.size();) {
        std::size_t end = cmdline.find('\0', at);
        if (end == std::string::npos) end = cmdline.size();
        args.push_back(cmdline.substr(at, end - at));
        at = end + 1;
    }
    f.HasParameters = args.size() > 1;
    for (const std::string& arg : args) {
        if (!f.CommandLine.empty()) f.CommandLine += ' ';
        bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
        f.CommandLine += quote ? "\"" + arg + "\"" : arg;
    }

    f.Executable = ExecutableName();
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GatherSystemFacts), &info) != 0 && info.dli_fname != nullptr) {
        std::error_code ec;
        std::filesystem::path module = std::filesystem::weakly_canonical(info.dli_fname, ec);
        if (!ec && module.string() != f.Executable) f.CurrentModule = module.string();
    }
    struct stat exe{};
    const std::string& module = f.CurrentModule.empty() ? f.Executable : f.CurrentModule;
    if (!module.empty() && stat(module.c_str(), &exe) == 0) {
        f.HasExecutableTime = true;
        f.ExecutableTime = platform::ToLocal(std::chrono::system_clock::from_time_t(exe.st_mtime));
    }
    f.Version = SettingsCopy().VersionText;
    if (f.Version.empty())
        f.Version = std::to_string(TARNWICK_VERSION_MAJOR) + "." + std::to_string(TARNWICK_VERSION_MINOR) + "." +
                    std::to_string(TARNWICK_VERSION_PATCH) + "." + std::to_string(TARNWICK_VERSION_TWEAK);
    f.DecimalSeparator = zelStrings::DecimalSeparator();
    return f;
}

std::string DurationText(std::uint64_t seconds) {
    static const char* const units[] = {"day", "hour", "minute", "second"};
    const std::uint64_t parts[] = {seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60};
    int first = 0;
    while (first < 3 && parts[first] == 0) ++first;
    std::string text;
    for (int i = first; i < std::min(first + 2, 4); ++i) {
        if (parts[i] == 0) continue;
        text += DecimalText(parts[i]) + " " + units[i] + (parts[i] == 1 ? " " : "s ");
    }
    return text;
}

std::string PunctuatedMessage(const std::string& message) {
    std::string text = zelStrings::TrimmedCopy(message);
    std::size_t run = text.find_last_not_of(".!");
    run = run == std::string::npos ? 0 : run + 1;
    if (run < text.size()) text.resize(run + 1);
    return text + ".";
}

std::string BugReportHeader(const TSystemFacts& f, const TExceptionRecord& exception,
                            const TSettingsBlock& settings) {
    std::string h;
    h += HeaderLine("date/time", DateText(f.Now) + ", " + Two(f.Now.hour) + ":" + Two(f.Now.minute) + ":" +
                                     Two(f.Now.second) + ", " + DecimalText(f.Now.millisecond) + "ms");
    h += HeaderLine("computer name", f.ComputerName);
    if (!f.ClientName.empty()) h += HeaderLine("wts client name", f.ClientName);
    h += HeaderLine("user name", f.UserName);
    h += HeaderLine("operating system", f.OsName + " build " + f.OsBuild);
    if (!f.Language.empty()) h += HeaderLine("system language", f.Language);
    if (f.HasSystemUpTime) h += HeaderLine("system up time", DurationText(f.SystemUpSeconds));
    h += HeaderLine("program up time", f.ProgramUpMs < 1000 ? DecimalText(f.ProgramUpMs) + " milliseconds"
                                                            : DurationText(f.ProgramUpMs / 1000));
    if (!f.ProcessorName.empty() && f.ProcessorCount > 1)
        h += HeaderLine("processors", DecimalText(f.ProcessorCount) + "x " + f.ProcessorName);
    else if (!f.ProcessorName.empty() && f.ProcessorCount == 1)
        h += HeaderLine("processor", f.ProcessorName);
    if (f.HasMemory)
        h += HeaderLine("physical memory",
                        DecimalText(f.MemoryFreeMB) + "/" + DecimalText(f.MemoryTotalMB) + " MB (free/total)");
    if (!f.DiskFree.empty()) {
        std::string value;
        for (const auto& [mount, bytes] : f.DiskFree) {
            if (!value.empty()) value += ' ';
            value += "(" + mount + ") " + zelStrings::SizeText(bytes, f.DecimalSeparator);
        }
        h += HeaderLine("free disk space", value);
    }
    if (f.HasDisplay)
        h += HeaderLine("display mode", DecimalText(f.DisplayWidth) + "x" + DecimalText(f.DisplayHeight) + ", " +
                                            DecimalText(f.DisplayDepth) + " bit");
    h += HeaderLine("process id", zelStrings::HexText(std::uint32_t(f.ProcessId)));
    if (f.HasAllocated) h += HeaderLine("allocated memory", zelStrings::SizeText(f.AllocatedBytes, f.DecimalSeparator));
    if (settings.CommandLine && f.HasParameters) h += HeaderLine("command line", f.CommandLine);
    h += HeaderLine("executable", f.Executable);
    if (!f.CurrentModule.empty()) h += HeaderLine("current module", f.CurrentModule);
    if (f.HasExecutableTime)
        h += HeaderLine(f.CurrentModule.empty() ? "exec. date/time" : "module date/time",
                        DateText(f.ExecutableTime) + " " + Two(f.ExecutableTime.hour) + ":" +
                            Two(f.ExecutableTime.minute));
    if (!f.Version.empty() && f.Version != "0.0.0.0") h += HeaderLine("version", f.Version);
    h += HeaderLine("zelExcept version", kLibraryVersion);

    if (exception.Frozen) return h + "exception message : " + settings.FrozenText;
    // A processor fault has no thrown object, but its signal names it.
    const bool named = (exception.HasObject || exception.OsException) && !exception.ClassName.empty();
    const std::string className = named ? exception.ClassName : "Unknown";
    h += "exception class   : " + className;
    if (named && exception.Message != className)
        h += "\r\nexception message : " + PunctuatedMessage(exception.Message);
    return h;
}

std::string ThreadReport(const TExceptionRecord& exception, const std::vector<TThreadSnapshot>& threads,
                         const TSettingsBlock& settings, zelStackTrace::TProgress* progress) {
    const TThreadSnapshot* main = MainThread(threads);
    const TThreadSnapshot* faulting = exception.Frozen ? main : FindThread(threads, exception.ThreadId);
    std::vector<const TThreadSnapshot*> order;
    if (faulting) order.push_back(faulting);
    if (main && main != faulting) order.push_back(main);
    if (settings.AllThreads)
        for (const TThreadSnapshot& t : threads)
            if (&t != faulting && &t != main) order.push_back(&t);
    std::erase_if(order, [](const TThreadSnapshot* t) { return t->DisplayName == "-"; });
    for (const TThreadSnapshot* t : order) zelStackTrace::AddProgressPhase(progress, t->Stack.Bytes.size() * 100 + 1);
    std::string text;
    for (const TThreadSnapshot* t : order) {
        text += ThreadBlock(*t, exception, t == faulting, settings, progress);
        zelStackTrace::EndProgressPhase(progress);
    }
    return text;
}

std::string BuildBugReport(const TSystemFacts& facts, const TExceptionRecord& exception,
                           const std::vector<TThreadSnapshot>& threads, const TSettingsBlock& settings,
                           zelStackTrace::TProgress* progress) {
    // The modules, hardware and disassembly sections are switched off in
    // this program and have no implementation.
    return BugReportHeader(facts, exception, settings) + ThreadReport(exception, threads, settings, progress);
}

std::string CreateBugReport(const TExceptionRecord& exception, const std::vector<TThreadSnapshot>& threads,
                            bool showProgress) {
    // The screen is the main thread's to ask; when it does not answer, the
    // last mode noted stands.
    CallInMainThread([] { NoteDisplayMode(); });
    const auto popup = showProgress ? WindowHooks().ReportProgress : nullptr;
    zelStackTrace::TProgress* progress = popup ? zelStackTrace::NewProgress({}, popup) : nullptr;
    std::string report = BuildBugReport(GatherSystemFacts(), exception, threads, SettingsCopy(), progress);
    if (progress != nullptr && progress->Shown) popup(-1);
    zelStackTrace::FreeProgress(progress);
    return report;
}

std::string AppName() {
    std::string name = std::filesystem::path(ExecutableName()).filename().string();
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

std::string ExceptMessageOf(const std::string& report) {
    static const std::string label = "exception message : ";
    std::size_t at = 0;
    while ((at = report.find(label, at)) != std::string::npos && at != 0 && report[at - 1] != '\n') ++at;
    if (at == std::string::npos) return {};
    std::size_t colon = report.find(':', at);
    std::size_t end = report.find_first_of("\r\n", colon);
    return zelStrings::TrimmedCopy(report.substr(colon + 1, end == std::string::npos ? end : end - colon - 1));
}

std::string ExpandPlaceholders(std::string text, const std::string& report) {
    zelStrings::ReplaceAllNoCase(text, "%appname%", AppName());
    zelStrings::ReplaceAllNoCase(text, "%exceptMsg%", ExceptMessageOf(report));
    zelStrings::ReplaceAllNoCase(text, "%LF%", "\r\n");
    return text;
}

std::string ProgramFolder() {
    std::string dir = platform::ResolveProgramDir();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

std::string ReportFilePath(const TSettingsBlock& settings) {
    std::string name = settings.ReportFile;
    zelStrings::ReplaceAllNoCase(name, "%appname%", AppName());
    return !name.empty() && name[0] == '/' ? name : ProgramFolder() + name;
}

bool AppendReportToFile(const std::string& path, const std::string& report, int limit) {
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // Another process of this program may save a report into the same file.
    bool ok = flock(fd, LOCK_EX) == 0;
    if (ok && limit == 0) ok = ftruncate(fd, 0) == 0;
    if (ok) ok = lseek(fd, 0, SEEK_END) >= 0;
    const std::string data = report + "\r\n\r\n";
    for (std::size_t done = 0; ok && done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += std::size_t(n);
    }
    struct stat st{};
    if (ok && limit > 0 && fstat(fd, &st) == 0 && st.st_size > limit) {
        // Keep the newest whole reports: cut in front of the first report
        // start behind which less than three quarters of the limit remain.
        const std::size_t size = std::size_t(st.st_size);
        const std::size_t keep = std::size_t(limit - limit / 4);
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            ok = false;
        } else {
            char* base = static_cast<char*>(map);
            static const char label[] = "date/time";
            const std::size_t labelSize = sizeof label - 1;
            std::size_t cut = std::string::npos;
            for (std::size_t at = 0; at + labelSize <= size; ++at) {
                if (std::memcmp(base + at, label, labelSize) != 0 || (at != 0 && base[at - 1] != '\n')) continue;
                if (size - at < keep) {
                    cut = at;
                    break;
                }
            }
            if (cut != std::string::npos && cut != 0) std::memmove(base, base + cut, size - cut);
            munmap(map, size);
            if (cut != std::string::npos && cut != 0) ok = ftruncate(fd, off_t(size - cut)) == 0;
        }
    }
    if (ok) ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool SaveBugReport(const std::string& report, bool autoSave) {
    const TSettingsBlock settings = SettingsCopy();
    std::string path = ReportFilePath(settings);
    bool relative = settings.ReportFile.empty() || settings.ReportFile[0] != '/';
    if (relative && !autoSave) {
        // The save button asks where; the question is the main thread's.
        std::string chosen;
        const std::string caption = settings.ButtonTexts[actSave];
        CallInMainThread([&] {
            if (const auto ask = WindowHooks().AskReportFile) chosen = ask(caption, path);
        });
        if (chosen.empty()) return false;
        path = chosen;
    }
    return AppendReportToFile(path, report, settings.ReportFileLimit);
}

}  // namespace zelExcept
