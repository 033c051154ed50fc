// Program entry: hands over to the shell's start-up sequence.
#include "crash/zel_dialog.h"
#include "crash/zel_except.h"
#include "platform/inifile.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "shell/program.h"
#include "transport/mail_settings.h"
#include "transport/servers.h"

#include <cstdio>

int main(int argc, char** argv) {
    // Every connection costs a descriptor; the default soft limit would run
    // out long before the servers' own caps.
    platform::RaiseDescriptorLimit();
    // Looked at before anything reads (or writes back) a setting: a damaged
    // file would otherwise pass for a fresh one.
    const std::string problem = platform::IniFile(platform::ResolveProgramDir() + settings::kIniFileName).Problem();
    if (!problem.empty()) {
        std::fprintf(stderr,
                     problem == platform::IniFile::kHoldsNulBytes ? "Tarnwick: %s is damaged: %s\n"
                                                                  : "Tarnwick: %s could not be used: %s\n",
                     settings::kIniFileName, problem.c_str());
        servers::SettingsFileProblemAtStart = problem;
    }
    // The crash library brackets everything, so no window ever runs
    // without it; its dialog is one of the windows.
    zelExcept::InstallExceptionWindows();
    zelExcept::Startup(argc, argv);
    const int result = program::Run(argc, argv);
    zelExcept::Finalize();
    return result;
}
