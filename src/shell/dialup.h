// The dial-up link: brings a dial-up entry up and down for the Send/Recv
// cycle, reports the connection's progress as text events, lists entries and
// active connections, and reads and stores the user name and password kept
// with an entry. The dialling itself is done by a platform::DialUpBackend
// (none, pppd or a scripted fake; see platform/dialup_backend.h).
//
// Events are plain std::function members, empty when unassigned, and always
// fire on the thread that owns the component (the main thread):
//
//   DialUp1->OnConnect = [this](TDialUp* s) { DialUp1Connect(s); };
//
// Asynchronous mode (the default): Dial fires OnDialing and returns; the
// backend's progress reports arrive later, in order, one OnAsyncEvent each.
// A report with Error > 0 ends the dial; its line may still be half up, so
// the owner calls HangUp() then (HangUp is cheap when nothing is left). A
// dial that fails before any report (OnError, OnNotConnected) has already
// been hung up by the component.
// Reports of a dial that has been hung up, or replaced by a new Dial, are
// dropped unseen.
//
// Tests pick the backend with SetBackend, or for components created later
// (the main window's DialUp1) with platform::SetDialUpBackendForTesting and a
// platform::FakeDialUpBackend (platform/dialup_fake.h). Asynchronous reports
// need a running Qt event loop to be delivered. A test that creates a
// component without choosing a backend gets the machine's own (see
// DialUp::DefaultBackend), which may run pon for real when it dials.
#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialup_backend.h"

enum TDialMode { dmAsync, dmSync };
enum TDialLanguage { English, Czech, Portuguese };

class TDialUp : public QObject {
    Q_OBJECT
public:
    explicit TDialUp(QObject* parent = nullptr);
    ~TDialUp() override;

    // Properties.
    std::string Entry;
    TDialMode DialMode = dmAsync;
    TDialLanguage Language = English;
    // Filled by GetEntries.
    std::vector<std::string> Entries;
    // The longest HangUp waits for the connection to disappear.
    std::chrono::milliseconds HangUpLimit{10000};

    // Events.
    std::function<void(TDialUp* Sender)> OnDialing;
    std::function<void(TDialUp* Sender)> OnConnect;
    std::function<void(TDialUp* Sender, int ErrorCode, const std::string& ErrorText)>
        OnNotConnected;
    std::function<void(TDialUp* Sender, int ErrorCode, const std::string& ErrorText)> OnError;
    std::function<void(TDialUp* Sender, int State, const std::string& Text, int Error)>
        OnAsyncEvent;
    std::function<void(TDialUp* Sender, platform::DialHandle Handle, const std::string& EntryName,
                       const std::string& DeviceType, const std::string& DeviceName, int State,
                       const std::string& StateText)>
        OnActiveConnection;
    // One call per entry found by GetEntries.
    std::function<void(TDialUp* Sender, const std::string& EntryName)> OnEntry;

    // Dials Entry; 0 or the error code. Any connection of this component is
    // hung up first.
    int Dial();
    // Hangs up this component's connection and waits (letting events run)
    // until it is gone, at most HangUpLimit. True when it is gone.
    bool HangUp();
    // Fills Entries (at most 100) and fires OnEntry for each; 0 or the error.
    int GetEntries();
    // Fires OnActiveConnection for each active connection (at most 100);
    // 0 or the error code.
    int GetActiveConnections();

    // The user name and password kept with Entry. Reading gives "" when the
    // entry's parameters cannot be read; writing keeps the other value and
    // returns 0 or the error code.
    std::string UserName();
    std::string Password();
    int SetUserName(const std::string& userName);
    int SetPassword(const std::string& password);

    // The connection made by the last dial; 0 = none.
    platform::DialHandle Handle() const { return handle_; }

    // The text of a progress report in Language: the backend's error text
    // (at most 100 bytes) when error != 0, else the state's text ("" for an
    // unknown state).
    std::string StateText(int state, int error);

    void SetBackend(std::shared_ptr<platform::DialUpBackend> backend);
    platform::DialUpBackend& Backend();

protected:
    // Delivers the oldest waiting progress report; runs on the main thread.
    virtual void HandleAsyncState();

private:
    struct Channel;
    std::string ErrorTextOf(int code);

    std::shared_ptr<platform::DialUpBackend> backend_;
    std::shared_ptr<Channel> channel_;
    platform::DialHandle handle_ = 0;
};

namespace DialUp {

// The state text of a connection state in a language; "" when unknown.
std::string StateText(TDialLanguage language, int state);

// The backend a new component uses: the one installed for tests, else pppd
// when this machine has it set up (/etc/ppp/peers readable and pon present),
// else none. pppd keeps the entries' user names and passwords in
// ProgramDir + "dialup/".
std::shared_ptr<platform::DialUpBackend> DefaultBackend();

}  // namespace DialUp
