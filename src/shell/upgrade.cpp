// The upgrade check: the published version against ours, the download of
// the installer through WebGet1, the wait for a running Send/Recv cycle,
// and the close that lets the installer replace the program.
#include "shell/upgrade.h"

#include "platform/dialogs.h"
#include "platform/shell.h"
#include "transport/globals.h"
#include "shell/main.h"
#include "shell/procs.h"
#include "shell/webget.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace upgrade {

namespace {

// Plain https: the installer is run once it is here, so nobody on the way
// may swap it.
constexpr const char* kDefaultHost = "https://www.velmarsh.example";

std::string& HostOverride() {
    static std::string host;
    return host;
}

InstallerRunner& Runner() {
    static InstallerRunner runner;
    return runner;
}

// "2.0.8" as {2, 0, 8}; nothing when the text is not digits and dots.
std::optional<std::vector<long>> Numbers(const std::string& text) {
    std::vector<long> parts;
    std::string digits;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits.empty() || digits.size() > 9) return std::nullopt;
            parts.push_back(std::stol(digits));
            digits.clear();
        } else if (text[i] >= '0' && text[i] <= '9') {
            digits += text[i];
        } else {
            return std::nullopt;
        }
    }
    return parts;
}

int Compare(const std::vector<long>& a, const std::vector<long>& b) {
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        long x = i < a.size() ? a[i] : 0;
        long y = i < b.size() ? b[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

std::string Host() { return HostOverride().empty() ? kDefaultHost : HostOverride(); }

void SetHostForTesting(const std::string& host) { HostOverride() = host; }

std::string WebAddress() { return "www.velmarsh.example"; }

Offer Classify(const std::string& published, const std::string& current) {
    // Version texts are short; anything longer is what a server says when
    // the file is not there.
    if (published.size() > 12) return Offer::Unreachable;
    if (current.rfind(published, 0) == 0) return Offer::Latest;
    auto theirs = Numbers(published);
    auto ours = Numbers(current);
    if (theirs && ours) {
        // An older text on the site (ours is a newer build) is no upgrade.
        if (Compare(*theirs, *ours) <= 0) return Offer::Latest;
        return theirs->front() != ours->front() ? Offer::Charge : Offer::Free;
    }
    if (current.empty() || published.empty() || published[0] != current[0]) return Offer::Charge;
    return Offer::Free;
}

bool StartInstaller(const std::string& path) {
    if (Runner()) return Runner()(path);
    return platform::OpenUrl(path);
}

void SetInstallerRunnerForTesting(InstallerRunner runner) { Runner() = std::move(runner); }

std::string TrimVersionText(const std::string& text) { return Trim(text); }

}  // namespace upgrade

// --- the main window's share --------------------------------------------------

void TFrmMain::CheckForUpgrade() {
    if (platform::MessageBox("About to check for a newer version, you will need to be connected to the "
                             "Internet.\rContinue?",
                             platform::MsgKind::Information, platform::MsgButtons::YesNo, this) !=
        platform::MsgResult::Yes)
        return;
    std::string text;
    try {
        procs::FetchURL(upgrade::Host() + "/tw.dat", text);
    } catch (const std::exception&) {
        // Being offline is not a fault of the program: said here, not sent
        // on as a bug report.
        platform::MessageBox("Unable to connect to Velmarsh server - please try later.", platform::MsgKind::Error,
                             platform::MsgButtons::Ok, this);
        return;
    }
    text = upgrade::TrimVersionText(text);
    switch (upgrade::Classify(text, ProgramVersion)) {
    case upgrade::Offer::Unreachable:
        platform::MessageBox("Unable to connect to Velmarsh server - please try later.", platform::MsgKind::Error,
                             platform::MsgButtons::Ok, this);
        return;
    case upgrade::Offer::Latest:
        platform::MessageBox("You already have the latest version - " + text, platform::MsgKind::Information,
                             platform::MsgButtons::Ok, this);
        return;
    case upgrade::Offer::Charge:
        platform::MessageBox("You have version " + ProgramVersion + " and version " + text +
                                 " is available.\rThere may be a charge for this upgrade - please see " +
                                 upgrade::WebAddress() + " for more information.",
                             platform::MsgKind::Information, platform::MsgButtons::Ok, this);
        return;
    case upgrade::Offer::Free:
        break;
    }
    if (platform::MessageBox("You have version " + ProgramVersion + " and you can upgrade (free) to " + text +
                                 "\r" + "Upgrade now?",
                             platform::MsgKind::Information, platform::MsgButtons::YesNo, this) !=
        platform::MsgResult::Yes)
        return;
    // A download already under way owns the file.
    if (WebGet1->Busy()) return;
    std::string file = ProgramDir + "tw_inst.exe";
    ::unlink(file.c_str());
    WebGet1->URL = upgrade::Host() + "/tw_inst.exe";
    WebGet1->FileName = file;
    WebGet1->GetFile();
}

void TFrmMain::WebGet1Progress(TWebGet*, std::int64_t total, std::int64_t soFar) {
    if (total > 0) {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.1f", static_cast<double>(soFar) * 100.0 / static_cast<double>(total));
        SetStatusLine(std::string("Downloading new version - ") + percent + "%", false);
    } else {
        SetStatusLine("Downloading new version...", false);
    }
}

void TFrmMain::WebGet1Error(TWebGet*) { SetStatusLine("Download failed - please try later.", false); }

void TFrmMain::WebGet1DoneFile(TWebGet*, const std::string& fileName, std::int64_t fileSize) {
    if (fileSize < 500001) {
        SetStatusLine("Download failed - please try later.", false);
        return;
    }
    SetStatusLine("Download complete.", false);
    // The installer stops the program; a cycle under way finishes first.
    while (CycleRunning() && !Closed()) {
        SetStatusLine("Download complete, waiting to install.", false);
        platform::PumpEventsFor(100);
    }
    if (Closed()) return;
    if (platform::MessageBox("Download complete and ready to upgrade.  Tarnwick will now close while the upgrade "
                             "installs the new version.",
                             platform::MsgKind::Confirmation, platform::MsgButtons::OkCancel, this) !=
        platform::MsgResult::Ok) {
        SetStatusLine("Idle", false);
        return;
    }
    if (!upgrade::StartInstaller(fileName)) {
        // Closing now would leave the office without its mail server.
        SetStatusLine("Unable to start the upgrade - please try later.", false);
        return;
    }
    Tag = TagUpgradeClose;
    close();
}
