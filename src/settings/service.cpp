// Start-up entry and service unit: the files, their quoting, and the calls
// that make the service manager take a new unit.
#include "settings/service.h"

#include "platform/files.h"
#include "settings/payload.h"
#include "transport/table_files.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <filesystem>

namespace service {

namespace {

Locations injectedLocations;
Runner injectedRunner;
// What an empty injection falls back to: the system's places, unless a
// test program has pointed them away for its whole run.
Locations fallbackLocations;
Runner fallbackRunner;

bool HasControl(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    return false;
}

std::string WithoutTrailingSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string Join(const std::string& dir, const std::string& name) {
    return WithoutTrailingSlash(dir) + "/" + name;
}

// One value of a unit file, quoted: C escapes for the quote and the
// backslash, "%%" for a literal "%" (specifiers). A "$" stays as it is: the
// program path of ExecStart and Environment= values see no variable
// expansion (and "$$" would be taken literally there).
std::string QuoteUnitValue(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

std::string EscapeUnitSpecifiers(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

void Log(const std::string& text) { tablefiles::LogLine(text); }

bool WriteEntry(TPayload& payload, const std::string& dir, const std::string& name, const std::string& text) {
    if (dir.empty()) {
        Log("No folder for " + name + "; start-up entry not written");
        return false;
    }
    std::string error;
    if (!platform::CreateFolder(dir, &error)) {
        Log("Could not create " + dir + ": " + error);
        return false;
    }
    payload.FileData.SetData(text.size(), text.data());
    if (!payload.SaveToFile(Join(dir, name))) {
        Log("Could not write " + Join(dir, name));
        return false;
    }
    return true;
}

}  // namespace

Locations DefaultLocations() {
    Locations l;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (xdg && xdg[0] == '/')
        l.autostartDir = Join(xdg, "autostart");
    else if (home && home[0] == '/')
        l.autostartDir = Join(home, ".config/autostart");
    l.unitDir = "/etc/systemd/system";
    if (QCoreApplication::instance()) l.executable = QCoreApplication::applicationFilePath().toStdString();
    if (l.executable.empty()) {
        std::error_code ec;
        l.executable = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    }
    return l;
}

int RunCommand(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    QProcess p;
    QStringList args;
    for (std::size_t i = 1; i < argv.size(); ++i) args << QString::fromStdString(argv[i]);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QString::fromStdString(argv[0]), args);
    if (!p.waitForStarted(10000)) return -1;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(1000);
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void SetLocations(const Locations& locations) { injectedLocations = locations; }
void SetRunner(Runner runner) { injectedRunner = std::move(runner); }

void SetFallbackForTesting(const Locations& locations, Runner runner) {
    fallbackLocations = locations;
    fallbackRunner = std::move(runner);
}

Locations CurrentLocations() {
    auto empty = [](const Locations& l) { return l.autostartDir.empty() && l.unitDir.empty() && l.executable.empty(); };
    if (!empty(injectedLocations)) return injectedLocations;
    if (!empty(fallbackLocations)) return fallbackLocations;
    return DefaultLocations();
}

std::string QuoteDesktopExecArg(const std::string& arg) {
    // Quoting level: the quote, backtick, dollar and backslash are escaped
    // inside the double quotes.
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    // File level: the string escapes are undone before the quoting is read,
    // so every backslash is doubled again; "%" starts a field code.
    std::string out;
    for (char c : quoted) {
        if (c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

std::string QuoteUnitArg(const std::string& arg) { return QuoteUnitValue(arg); }

std::string AutostartEntry(const std::string& executable, const std::string& programDir) {
    if (executable.empty() || HasControl(executable) || HasControl(programDir)) return {};
    // The home is handed over in the environment: the copy started at log-in
    // must work on the same folder tree as the one that wrote the entry.
    return std::string("[Desktop Entry]\n") + "Type=Application\n" + "Name=" + kEntryName + "\n" +
           "Comment=" + kDescription + "\n" + "Exec=env " +
           QuoteDesktopExecArg("TARNWICK_HOME=" + WithoutTrailingSlash(programDir)) + " " +
           QuoteDesktopExecArg(executable) + " /m\n" + "Terminal=false\n";
}

std::string ServiceUnit(const std::string& executable, const std::string& programDir) {
    if (executable.empty() || programDir.empty() || HasControl(executable) || HasControl(programDir)) return {};
    const std::string dir = WithoutTrailingSlash(programDir);
    // A system service has no display to show its windows on.
    return std::string("[Unit]\n") + "Description=" + EscapeUnitSpecifiers(kDescription) + "\n" +
           "After=network-online.target\n" + "Wants=network-online.target\n" + "\n" + "[Service]\n" +
           "Type=simple\n" + "ExecStart=" + QuoteUnitArg(executable) + " /m\n" +
           "WorkingDirectory=" + EscapeUnitSpecifiers(dir) + "\n" + "Environment=" +
           QuoteUnitValue("TARNWICK_HOME=" + dir) + "\n" + "Environment=QT_QPA_PLATFORM=offscreen\n" +
           "\n" + "[Install]\n" + "WantedBy=multi-user.target\n";
}

void ApplyStartupEntries(const Choice& choice, const std::string& programDir) {
    const Locations where = CurrentLocations();
    const Runner run = injectedRunner ? injectedRunner : fallbackRunner ? fallbackRunner : Runner(RunCommand);

    // 1 The start-up entry goes at every save; only the boxes bring it back.
    if (!where.autostartDir.empty()) {
        std::error_code ec;
        std::filesystem::remove(Join(where.autostartDir, kAutostartFile), ec);
        if (ec) Log("Could not remove " + Join(where.autostartDir, kAutostartFile) + ": " + ec.message());
    }

    if (choice.service) {
        // 2 The unit, then the service manager reads it and starts it at boot.
        const std::string unit = ServiceUnit(where.executable, programDir);
        if (unit.empty()) {
            Log("Program path unusable in a service unit; service not installed");
            return;
        }
        TPayload payload;
        payload.OnSave = [&run](TPayload&) {
            for (const std::vector<std::string>& cmd :
                 {std::vector<std::string>{"systemctl", "daemon-reload"},
                  std::vector<std::string>{"systemctl", "enable", kUnitFile}}) {
                const int rc = run(cmd);
                if (rc != 0) Log(cmd[0] + " " + cmd[1] + " failed (" + std::to_string(rc) + ")");
            }
        };
        WriteEntry(payload, where.unitDir, kUnitFile, unit);
    } else if (choice.startup) {
        // 3
        const std::string entry = AutostartEntry(where.executable, programDir);
        if (entry.empty()) {
            Log("Program path unusable in a start-up entry; entry not written");
            return;
        }
        TPayload payload;
        WriteEntry(payload, where.autostartDir, kAutostartFile, entry);
    }
}

}  // namespace service
