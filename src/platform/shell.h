// Small services of the desktop and the host: opening a URL or document
// with the user's default program, the host's name and IPv4 addresses, and
// the event pump behind procs::Delay.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Opens a URL ("http://...", "file://...") or a local file path with the
// default handler. Headless there is nobody to show it to: the request is
// logged (see SetHeadlessLogHook in dialogs.h) and true is returned.
bool OpenUrl(const std::string& urlOrPath);
// The desktop's opener, installed by the windows; until then every request
// is logged as if headless. A null function removes it.
void SetUrlOpener(bool (*opener)(const std::string& urlOrPath));

// The host name as gethostname gives it, at most 255 characters.
std::string ComputerName();

// The host's IPv4 addresses in dotted form, loopback included, in the order
// the system lists its interfaces; duplicates removed.
std::vector<std::string> LocalIPv4Addresses();

// Runs the event loop for the given time, measured on a monotonic clock;
// sleeps while there is nothing to do instead of spinning. Without an
// application object it just sleeps. Negative or zero: one pass over the
// pending events.
void PumpEventsFor(int milliseconds);

}  // namespace platform
