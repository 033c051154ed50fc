// A scripted dial-up backend for tests. Entries, their dial parameters and
// connections already up are set by the test; a dial plays a script of
// progress steps (delay, state, error) on a thread of its own, the way a real
// dial reports from the dial-up service's thread.
//
//   auto fake = std::make_shared<platform::FakeDialUpBackend>();
//   fake->AddEntry("Office ISP", {"jo", "secret"});
//   fake->SetDialScript({{0, platform::dsOpenPort, 0},
//                        {10, platform::dsConnectDevice, 0},
//                        {10, platform::dsConnectDevice, 678}});   // fails
//   fake->SetErrorText(678, "There was no answer.");
//   platform::SetDialUpBackendForTesting(fake);  // or dialUp.SetBackend(fake)
//
// The default script connects at once: dsOpenPort, dsConnectDevice,
// dsConnected. A script that reaches dsConnected without error makes the
// entry an active connection; a step with an error ends the dial there. A
// synchronous dial plays the script on the caller's thread and returns the
// first error (0 when none).
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialup_backend.h"

namespace platform {

struct FakeDialStep {
    int DelayMs = 0;
    int State = dsOpenPort;
    int Error = 0;
};

class FakeDialUpBackend final : public DialUpBackend {
public:
    FakeDialUpBackend();
    ~FakeDialUpBackend() override;

    // Script.
    void AddEntry(const std::string& name, const DialParams& params = {});
    // A connection that is up before anything is dialled.
    void AddActiveConnection(const std::string& entry);
    void SetDialScript(std::vector<FakeDialStep> steps);
    // The result of Dial itself (a dial that cannot even start). With
    // halfMade the failed dial still leaves a handle to hang up.
    void SetDialResult(int error, bool halfMade = false);
    // Result of reading or storing an entry's dial parameters.
    void SetParamsError(int error);
    // A hang-up that starts but whose connection never goes away.
    void SetHangUpNeverEnds(bool never);
    void SetErrorText(int code, const std::string& text);

    // What happened.
    int DialCount();
    int HangUpCount();
    DialParams LastDialParams();
    DialParams EntryParams(const std::string& entry);
    bool IsConnected(const std::string& entry);
    // Waits until every started dial script has played to its end or been
    // cancelled.
    void WaitForScripts();

    int EnumEntries(std::vector<std::string>& names) override;
    int EnumConnections(std::vector<ActiveConnection>& connections) override;
    int GetEntryDialParams(const std::string& entry, DialParams& params) override;
    int SetEntryDialParams(const std::string& entry, const DialParams& params) override;
    int Dial(const std::string& entry, const DialParams& params, Progress progress,
             DialHandle& handle) override;
    int GetConnectStatus(DialHandle handle, ConnectStatus& status) override;
    int HangUp(DialHandle handle) override;
    std::string ErrorText(int code) override;

private:
    struct Conn {
        std::string entry;
        int state = dsOpenPort;
        int error = 0;
        bool cancelled = false;
        bool hungUp = false;
        bool playing = false;
        std::thread thread;
    };
    int Play(Conn& conn, const std::vector<FakeDialStep>& steps, const Progress& progress);
    bool HasEntry(const std::string& entry) const;

    std::mutex m_;
    std::condition_variable wake_;
    std::vector<std::string> entries_;
    std::map<std::string, DialParams> params_;
    std::map<DialHandle, std::shared_ptr<Conn>> conns_;
    std::map<int, std::string> errorTexts_;
    std::vector<FakeDialStep> script_;
    DialHandle next_ = 1;
    int dialResult_ = 0;
    bool halfMade_ = false;
    int paramsError_ = 0;
    bool hangUpNeverEnds_ = false;
    int dialCount_ = 0;
    int hangUpCount_ = 0;
    DialParams lastDialParams_;
};

}  // namespace platform
