// The shared hooks and the crash reporter's settings.
#include "transport/setup_hooks.h"

#include "crash/zel_settings.h"

namespace setup {

Hooks hooks;
CrashSettings crashSettings;

void ApplyCrashSettings() {
    zelExcept::ApplyWindowSettings(crashSettings.showDialog, crashSettings.mailAutomatically,
                                   crashSettings.sender, crashSettings.smtpPort);
}

}  // namespace setup
