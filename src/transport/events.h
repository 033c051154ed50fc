// What the mail engine shows: the status line, log lines, the "last ..."
// labels, counts, the tray picture and the Send/Recv controls. The engine
// only talks to this interface; the main window implements it and installs
// itself, so the engine never sees a window, and tests record what it says.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace events {

// The labels whose text and look the engine sets.
enum class Label {
    LastCollection,  // "Last Check" of the inbox
    LastDelivery,    // last delivery of the outbox
    LastConnection,  // last connection of a cycle
};

enum class Look {
    Busy,     // bold: its step is running
    NotBusy,  // bold off; a failure mark stays
    Failed,   // red
    Plain,    // the window's own font and colour, every mark gone
    Done,     // its step ended: a failed label only loses bold, any other turns plain
};

// Tray pictures.
constexpr int kTrayNoMail = 0;
constexpr int kTrayActive = 1;
constexpr int kTrayMail = 2;
constexpr int kTrayFailed = 3;

struct FolderTotal {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
    bool operator==(const FolderTotal&) const = default;
};

// One count of the store.
struct MailCounts {
    // Every local user in the users table's order; false when the table is
    // closed and nothing was counted.
    bool mailboxesCounted = false;
    std::vector<std::pair<std::string, FolderTotal>> mailboxes;
    // False while a delivery run sends from the outbox: its count then
    // belongs to the run.
    bool outboxCounted = false;
    FolderTotal outbox;
    std::int64_t possibleSpam = 0;
    std::int64_t probableSpam = 0;
};

// Kinds of Send/Recv the engine asks for.
enum class Cycle {
    Full,      // collection and delivery, as the alarm starts it
    SendOnly,  // delivery of the outbox alone
};

// What the main window shows, as the web status page repeats it. A default
// value is what shows when there is no window.
struct WindowView {
    bool present = false;
    bool sendReceiveEnabled = false;
    bool settingsOpen = false;
    std::string caption;
    std::string lastCollection;
    std::vector<std::pair<std::string, std::string>> mailboxes;  // user, count text
    std::string possibleSpam;
    std::string probableSpam;
    std::string outbox;
    std::string lastDelivery;
    std::string lastConnection;
    std::string nextConnection;
    std::string status;
};

class TEngineEvents {
public:
    virtual ~TEngineEvents() = default;

    // The status line and tray hint; active: a step is running.
    virtual void Status(const std::string& text, bool active) = 0;
    // The status line alone, the tray hint untouched.
    virtual void StatusLine(const std::string& text, bool bold) = 0;
    // A line was appended to the log file fileName (already written).
    virtual void LogLine(const std::string& fileName, const std::string& line) = 0;
    virtual void LabelText(Label label, const std::string& text) = 0;
    virtual void LabelLook(Label label, Look look) = 0;
    virtual void TrayImage(int image) = 0;
    // The Send/Recv buttons; the engine only takes them away, the end of a
    // cycle gives them back.
    virtual void SendReceiveEnabled(bool enabled) = 0;
    virtual void CountsChanged(const MailCounts& counts) = 0;
    // The provider accounts' names in table order, for the Send/Recv menu.
    virtual void AccountsChanged(const std::vector<std::string>& names) = 0;
    // The delivery run that ends a cycle is over.
    virtual void CycleEnded() = 0;
    virtual void SendReceiveRequested(Cycle cycle) = 0;
    // A step of start-up.
    virtual void StartupProgress(const std::string& text) = 0;

    virtual bool CycleRunning() const = 0;
    virtual WindowView View() const = 0;
};

// A sink that shows nothing: what the engine talks to without a window.
class TNoEvents : public TEngineEvents {
public:
    void Status(const std::string&, bool) override {}
    void StatusLine(const std::string&, bool) override {}
    void LogLine(const std::string&, const std::string&) override {}
    void LabelText(Label, const std::string&) override {}
    void LabelLook(Label, Look) override {}
    void TrayImage(int) override {}
    void SendReceiveEnabled(bool) override {}
    void CountsChanged(const MailCounts&) override {}
    void AccountsChanged(const std::vector<std::string>&) override {}
    void CycleEnded() override {}
    void SendReceiveRequested(Cycle) override {}
    void StartupProgress(const std::string&) override {}
    bool CycleRunning() const override { return false; }
    WindowView View() const override { return WindowView(); }
};

// Installs sink (nullptr: back to showing nothing). The caller keeps it
// alive while installed.
void Set(TEngineEvents* sink);
// The installed sink, never null.
TEngineEvents& Get();
// Uninstalls sink only if it is the one installed, so that a window going
// away cannot take a later window's place with it.
void Unset(TEngineEvents* sink);

}  // namespace events
