// The dial-up link component. Progress reports of an asynchronous dial come
// from a backend thread; they are queued here and handed to the main thread
// one queued call per report, so they arrive in order and nothing waits for
// the main thread to catch up.
#include "shell/dialup.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/dialup_ppp.h"
#include "transport/globals.h"

namespace {

constexpr std::size_t kMaxListed = 100;
constexpr std::size_t kMaxErrorText = 100;
constexpr std::chrono::milliseconds kHangUpPoll{50};

struct StateRow {
    int state;
    const char* english;
    const char* czech;
    const char* portuguese;
};

const StateRow kStateTexts[] = {
    {0, "Opening port", "Otevírání portu", "Abrindo porta"},
    {1, "Port opened", "Port otevřen", "Porta aberta"},
    {2, "Connecting device", "Připojování zařízení", "Conectando dispositivo"},
    {3, "Device connected", "Zařízení připojeno", "Dispositivo conectado"},
    {4, "All devices connected", "Všechna zařízení připojena", "Todos os dispositivos conectados"},
    {5, "Start authenticating", "Zahájení ověřování", "Iniciando autenticação"},
    {6, "Authentication: notify", "Ověřování: upozornění", "Autenticação: notificação"},
    {7, "Authentication: retry", "Ověřování: opakování", "Autenticação: nova tentativa"},
    {8, "Authentication: callback", "Ověřování: zpětné volání", "Autenticação: retorno de chamada"},
    {9, "Authentication: change password", "Ověřování: změna hesla",
     "Autenticação: alteração de senha"},
    {10, "Authentication: projecting", "Ověřování: projekce", "Autenticação: projeção"},
    {11, "Authentication: link speed", "Ověřování: rychlost linky",
     "Autenticação: velocidade da linha"},
    {12, "Authentication: acknowledge", "Ověřování: potvrzení", "Autenticação: confirmação"},
    {13, "Authentication: reauthenticate", "Ověřování: opakované ověření",
     "Autenticação: reautenticação"},
    {14, "Authenticated", "Ověřeno", "Autenticado"},
    {15, "Preparing for callback", "Příprava na zpětné volání", "Preparando retorno de chamada"},
    {16, "Waiting for modem reset", "Čekání na reset modemu", "Aguardando reinício do modem"},
    {17, "Waiting for callback", "Čekání na zpětné volání", "Aguardando retorno de chamada"},
    {18, "Projected", "Projekce dokončena", "Projetado"},
    {19, "Start authentication", "Začátek ověřování", "Início da autenticação"},
    {20, "Callback complete", "Zpětné volání dokončeno", "Retorno de chamada concluído"},
    {21, "Logging on network", "Přihlašování do sítě", "Entrando na rede"},
    {4096, "Interactive", "Interaktivní", "Interativo"},
    {4097, "Retry Authentication", "Opakované ověřování", "Repetir autenticação"},
    {4098, "Callback set by caller", "Zpětné volání nastavené volajícím",
     "Retorno definido pelo chamador"},
    {4099, "Password expired", "Heslo vypršelo", "Senha expirada"},
    {8192, "Connected", "Připojeno", "Conectado"},
    {8193, "Disconnected", "Odpojeno", "Desconectado"},
};

// Cuts a text to at most max bytes without splitting a UTF-8 sequence.
std::string Truncated(std::string text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

// Sleeps without blocking the main thread's events: timers, sockets and
// queued reports go on running while a hang-up completes.
void Pause(std::chrono::milliseconds ms) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    } else {
        std::this_thread::sleep_for(ms);
    }
}

}  // namespace

// Shared with the backend's progress callbacks, which may outlive the
// component. A report carries the number of the dial it belongs to, so that
// reports of a dial that was hung up or replaced are dropped.
struct TDialUp::Channel {
    struct Report {
        unsigned dial;
        int state;
        int error;
    };
    std::mutex mutex;
    std::deque<Report> reports;
    TDialUp* receiver = nullptr;
    unsigned dial = 0;
};

TDialUp::TDialUp(QObject* parent) : QObject(parent), channel_(std::make_shared<Channel>()) {
    channel_->receiver = this;
}

TDialUp::~TDialUp() {
    // Reports still on their way must not reach a destroyed component; Qt
    // drops the queued calls already posted to it.
    std::lock_guard<std::mutex> lock(channel_->mutex);
    channel_->receiver = nullptr;
    channel_->reports.clear();
}

void TDialUp::SetBackend(std::shared_ptr<platform::DialUpBackend> backend) {
    backend_ = std::move(backend);
}

platform::DialUpBackend& TDialUp::Backend() {
    if (!backend_) backend_ = DialUp::DefaultBackend();
    return *backend_;
}

std::string TDialUp::ErrorTextOf(int code) {
    return Truncated(Backend().ErrorText(code), kMaxErrorText);
}

std::string TDialUp::StateText(int state, int error) {
    if (error != 0) return ErrorTextOf(error);
    return DialUp::StateText(Language, state);
}

int TDialUp::Dial() {
    // A hang-up lets events run, and one of them may destroy this component.
    QPointer<TDialUp> self(this);
    if (handle_ != 0) {
        HangUp();
        if (!self) return platform::deInvalidHandle;
    }
    Backend();
    std::shared_ptr<platform::DialUpBackend> backend = backend_;

    platform::DialParams params;
    int rc = backend->GetEntryDialParams(Entry, params);
    if (rc != 0) {
        if (OnError) OnError(this, rc, "GetEntryDialParams failed");
        return rc;
    }

    if (DialMode == dmAsync) {
        unsigned dial;
        {
            std::lock_guard<std::mutex> lock(channel_->mutex);
            dial = ++channel_->dial;
            channel_->reports.clear();
        }
        if (OnDialing) OnDialing(this);
        std::shared_ptr<Channel> channel = channel_;
        auto progress = [channel, dial](int state, int error) {
            std::lock_guard<std::mutex> lock(channel->mutex);
            if (!channel->receiver || channel->dial != dial) return;
            channel->reports.push_back({dial, state, error});
            TDialUp* receiver = channel->receiver;
            QMetaObject::invokeMethod(
                receiver, [receiver] { receiver->HandleAsyncState(); }, Qt::QueuedConnection);
        };
        platform::DialHandle handle = 0;
        rc = backend->Dial(Entry, params, progress, handle);
        handle_ = handle;
        if (rc != 0) {
            std::string text = ErrorTextOf(rc);
            // A dial that failed to start never leaves a half-made line behind.
            if (handle_ != 0) HangUp();
            if (self && OnError) OnError(this, rc, text);
        }
        return rc;
    }

    if (OnDialing) OnDialing(this);
    platform::DialHandle handle = 0;
    rc = backend->Dial(Entry, params, nullptr, handle);
    handle_ = handle;
    if (rc != 0) {
        std::string text = ErrorTextOf(rc);
        if (handle_ != 0) HangUp();
        if (self && OnNotConnected) OnNotConnected(this, rc, text);
        return rc;
    }
    if (OnConnect) OnConnect(this);
    return 0;
}

void TDialUp::HandleAsyncState() {
    Channel::Report report;
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        if (channel_->reports.empty()) return;
        report = channel_->reports.front();
        channel_->reports.pop_front();
        if (report.dial != channel_->dial) return;
    }
    if (OnAsyncEvent) OnAsyncEvent(this, report.state, StateText(report.state, report.error), report.error);
}

bool TDialUp::HangUp() {
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        ++channel_->dial;
        channel_->reports.clear();
    }
    if (handle_ == 0) return true;
    // Only locals from here on: events run during the wait, and one of them
    // may dial again or even destroy this component.
    std::shared_ptr<platform::DialUpBackend> backend = backend_;
    const platform::DialHandle handle = handle_;
    const std::chrono::milliseconds limit = HangUpLimit;
    handle_ = 0;

    int rc = backend->HangUp(handle);
    if (rc == platform::deInvalidHandle) return true;
    if (rc != 0) return false;

    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        platform::ConnectStatus status;
        if (backend->GetConnectStatus(handle, status) == platform::deInvalidHandle) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        Pause(std::min(kHangUpPoll,
                       std::chrono::ceil<std::chrono::milliseconds>(deadline - now)));
    }
}

int TDialUp::GetEntries() {
    Entries.clear();
    std::vector<std::string> names;
    int rc = Backend().EnumEntries(names);
    if (rc != 0) return rc;
    if (names.size() > kMaxListed) names.resize(kMaxListed);
    Entries = names;
    for (const std::string& name : names)
        if (OnEntry) OnEntry(this, name);
    return 0;
}

int TDialUp::GetActiveConnections() {
    std::vector<platform::ActiveConnection> connections;
    int rc = Backend().EnumConnections(connections);
    if (rc != 0) return rc;
    if (connections.size() > kMaxListed) connections.resize(kMaxListed);
    for (const platform::ActiveConnection& c : connections) {
        platform::ConnectStatus status;
        int error = Backend().GetConnectStatus(c.Handle, status);
        if (error == 0) error = status.Error;
        const int state = status.State;
        if (OnActiveConnection)
            OnActiveConnection(this, c.Handle, c.EntryName, c.DeviceType, c.DeviceName, state,
                               StateText(state, error));
    }
    return 0;
}

std::string TDialUp::UserName() {
    platform::DialParams params;
    if (Backend().GetEntryDialParams(Entry, params) != 0) return "";
    return params.UserName;
}

std::string TDialUp::Password() {
    platform::DialParams params;
    if (Backend().GetEntryDialParams(Entry, params) != 0) return "";
    return params.Password;
}

int TDialUp::SetUserName(const std::string& userName) {
    platform::DialParams params;
    int rc = Backend().GetEntryDialParams(Entry, params);
    if (rc != 0) return rc;
    params.UserName = userName;
    return Backend().SetEntryDialParams(Entry, params);
}

int TDialUp::SetPassword(const std::string& password) {
    platform::DialParams params;
    int rc = Backend().GetEntryDialParams(Entry, params);
    if (rc != 0) return rc;
    params.Password = password;
    return Backend().SetEntryDialParams(Entry, params);
}

namespace DialUp {

std::string StateText(TDialLanguage language, int state) {
    for (const StateRow& row : kStateTexts) {
        if (row.state != state) continue;
        switch (language) {
        case Czech: return row.czech;
        case Portuguese: return row.portuguese;
        case English: break;
        }
        return row.english;
    }
    return "";
}

std::shared_ptr<platform::DialUpBackend> DefaultBackend() {
    if (auto testing = platform::DialUpBackendForTesting()) return testing;
    platform::PppOptions options;
    if (access(options.PeersDir.c_str(), R_OK | X_OK) == 0 &&
        access(options.PonCommand.c_str(), X_OK) == 0) {
        options.ParamsDir = ProgramDir + "dialup";
        return platform::MakePppDialUpBackend(std::move(options));
    }
    return platform::MakeNoDialUpBackend();
}

}  // namespace DialUp
