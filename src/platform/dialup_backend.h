// The dial-up service the shell's dial-up link talks to: dial-up entries,
// active connections, asynchronous dialling with progress reports, status,
// hang-up, error texts and the user name and password kept with an entry.
//
// Three backends implement it: none (no entries; used when nothing is
// configured), a scripted fake for tests (dialup_fake.h) and pppd through
// pon/poff (dialup_ppp.h).
//
// Threading: every call is made from one thread (the main thread). Only the
// progress callback of an asynchronous dial runs on a thread of the backend;
// a backend stops calling it once HangUp of that connection has returned or
// the backend is destroyed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

// Connection states reported by a dial. The numbers are the ones the
// program's state texts are keyed by.
enum DialState : int {
    dsOpenPort = 0,
    dsPortOpened = 1,
    dsConnectDevice = 2,
    dsDeviceConnected = 3,
    dsAllDevicesConnected = 4,
    dsAuthenticate = 5,
    dsAuthNotify = 6,
    dsAuthRetry = 7,
    dsAuthCallback = 8,
    dsAuthChangePassword = 9,
    dsAuthProject = 10,
    dsAuthLinkSpeed = 11,
    dsAuthAck = 12,
    dsReAuthenticate = 13,
    dsAuthenticated = 14,
    dsPrepareForCallback = 15,
    dsWaitForModemReset = 16,
    dsWaitForCallback = 17,
    dsProjected = 18,
    dsStartAuthentication = 19,
    dsCallbackComplete = 20,
    dsLogonNetwork = 21,
    dsInteractive = 4096,
    dsRetryAuthentication = 4097,
    dsCallbackSetByCaller = 4098,
    dsPasswordExpired = 4099,
    dsConnected = 8192,
    dsDisconnected = 8193,
};

// Error codes of the dial-up backends. 0 is success everywhere.
enum DialError : int {
    deInvalidHandle = 6,          // the connection is gone (hang-up complete)
    deEntryNotFound = 601,
    deBadEntryName = 602,
    deParamsUnreadable = 603,
    deParamsUnwritable = 604,
    deBadParams = 605,
    deDialCommand = 606,          // the dial command could not run or failed
    deHangUpCommand = 607,
    deNoAnswer = 608,             // the link did not come up in time
    deLinkDropped = 609,          // the dialler ended before the link came up
    deNotConfigured = 610,        // no dial-up backend configured
    deBusy = 611,                 // the entry is already being dialled
    deRemoteDisconnected = 612,
};

using DialHandle = std::uint32_t;  // 0 = no connection

// User name and password kept with an entry.
struct DialParams {
    std::string UserName;
    std::string Password;   // empty when no password is saved
};

struct ActiveConnection {
    DialHandle Handle = 0;
    std::string EntryName;
    std::string DeviceType;
    std::string DeviceName;
};

struct ConnectStatus {
    int State = dsOpenPort;
    int Error = 0;
};

class DialUpBackend {
public:
    // Called on a backend thread for every progress step of an asynchronous
    // dial, in order. A report with Error != 0 ends the dial.
    using Progress = std::function<void(int state, int error)>;

    virtual ~DialUpBackend() = default;

    // Entry names in the backend's order; 0 or an error code.
    virtual int EnumEntries(std::vector<std::string>& names) = 0;
    virtual int EnumConnections(std::vector<ActiveConnection>& connections) = 0;
    virtual int GetEntryDialParams(const std::string& entry, DialParams& params) = 0;
    virtual int SetEntryDialParams(const std::string& entry, const DialParams& params) = 0;
    // With a progress callback the dial starts and returns at once (handle set
    // when the dial started); without one it blocks until the link is up or
    // has failed. A non-zero handle must be hung up even when the result is
    // an error.
    virtual int Dial(const std::string& entry, const DialParams& params, Progress progress,
                     DialHandle& handle) = 0;
    // deInvalidHandle once the connection is gone.
    virtual int GetConnectStatus(DialHandle handle, ConnectStatus& status) = 0;
    // Starts the hang-up; the connection is gone when GetConnectStatus says so.
    virtual int HangUp(DialHandle handle) = 0;
    virtual std::string ErrorText(int code) = 0;
};

// The texts of the DialError codes; "Error N" for others.
std::string DialErrorText(int code);

// No entries, no connections; a dial fails with deNotConfigured.
std::shared_ptr<DialUpBackend> MakeNoDialUpBackend();

// Tests install a backend that every dial-up link created afterwards uses
// (nullptr removes it). DialUpBackendForTesting returns the installed one.
void SetDialUpBackendForTesting(std::shared_ptr<DialUpBackend> backend);
std::shared_ptr<DialUpBackend> DialUpBackendForTesting();

// A backend's destructor: marks every dial of conns (handle -> connection
// with `cancelled` and `thread`) cancelled, wakes the dialling threads and
// waits for them outside the lock.
template <class Conns>
void CancelAndJoinDials(std::mutex& m, std::condition_variable& wake, Conns& conns) {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m);
        for (auto& [handle, c] : conns) {
            c->cancelled = true;
            if (c->thread.joinable()) threads.push_back(std::move(c->thread));
        }
        wake.notify_all();
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace platform
