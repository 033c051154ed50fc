// The upgrade check behind the main window's hidden "Check for &upgrade..."
// item: where the version text and the installer come from, how a published
// version compares with ours, and how a downloaded installer is started.
// The main window's share (messages, download events) is in upgrade.cpp.
#pragma once

#include <functional>
#include <string>

namespace upgrade {

// The maker's web host, scheme included, without a trailing "/". The
// version text is Host() + "/tw.dat", the installer Host() + "/tw_inst.exe".
std::string Host();
// Points the check at another host (tests: a local fake); empty restores
// the default.
void SetHostForTesting(const std::string& host);
// The maker's web address quoted when an upgrade may cost something.
std::string WebAddress();

// What a published version text means for the running version.
enum class Offer {
    Unreachable,  // not a version text (an error page, say)
    Latest,       // nothing newer
    Charge,       // a new major version
    Free,         // a newer version of the same major version
};
Offer Classify(const std::string& published, const std::string& current);
// The version file's text without the blanks and line end around it.
std::string TrimVersionText(const std::string& text);

// Starts a downloaded installer the way the desktop opens a document;
// false when it could not be started. Tests replace the runner; an empty
// function restores the desktop's.
using InstallerRunner = std::function<bool(const std::string& path)>;
bool StartInstaller(const std::string& path);
void SetInstallerRunnerForTesting(InstallerRunner runner);

}  // namespace upgrade
