// The scripted dial-up backend for tests.
#include "platform/dialup_fake.h"

#include <algorithm>
#include <chrono>

namespace platform {

FakeDialUpBackend::FakeDialUpBackend()
    : script_{{0, dsOpenPort, 0}, {0, dsConnectDevice, 0}, {0, dsConnected, 0}} {}

FakeDialUpBackend::~FakeDialUpBackend() {
    CancelAndJoinDials(m_, wake_, conns_);
}

void FakeDialUpBackend::AddEntry(const std::string& name, const DialParams& params) {
    std::lock_guard<std::mutex> lock(m_);
    entries_.push_back(name);
    params_[name] = params;
}

void FakeDialUpBackend::AddActiveConnection(const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_);
    auto c = std::make_shared<Conn>();
    c->entry = entry;
    c->state = dsConnected;
    conns_[next_++] = c;
}

void FakeDialUpBackend::SetDialScript(std::vector<FakeDialStep> steps) {
    std::lock_guard<std::mutex> lock(m_);
    script_ = std::move(steps);
}

void FakeDialUpBackend::SetDialResult(int error, bool halfMade) {
    std::lock_guard<std::mutex> lock(m_);
    dialResult_ = error;
    halfMade_ = halfMade;
}

void FakeDialUpBackend::SetParamsError(int error) {
    std::lock_guard<std::mutex> lock(m_);
    paramsError_ = error;
}

void FakeDialUpBackend::SetHangUpNeverEnds(bool never) {
    std::lock_guard<std::mutex> lock(m_);
    hangUpNeverEnds_ = never;
}

void FakeDialUpBackend::SetErrorText(int code, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_);
    errorTexts_[code] = text;
}

int FakeDialUpBackend::DialCount() {
    std::lock_guard<std::mutex> lock(m_);
    return dialCount_;
}

int FakeDialUpBackend::HangUpCount() {
    std::lock_guard<std::mutex> lock(m_);
    return hangUpCount_;
}

DialParams FakeDialUpBackend::LastDialParams() {
    std::lock_guard<std::mutex> lock(m_);
    return lastDialParams_;
}

DialParams FakeDialUpBackend::EntryParams(const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = params_.find(entry);
    return it == params_.end() ? DialParams() : it->second;
}

bool FakeDialUpBackend::IsConnected(const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto& [handle, c] : conns_)
        if (c->entry == entry && !c->hungUp && c->state == dsConnected && c->error == 0) return true;
    return false;
}

void FakeDialUpBackend::WaitForScripts() {
    std::unique_lock<std::mutex> lock(m_);
    wake_.wait(lock, [this] {
        return std::none_of(conns_.begin(), conns_.end(),
                            [](const auto& kv) { return kv.second->playing; });
    });
}

bool FakeDialUpBackend::HasEntry(const std::string& entry) const {
    return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
}

int FakeDialUpBackend::EnumEntries(std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(m_);
    names = entries_;
    return 0;
}

int FakeDialUpBackend::EnumConnections(std::vector<ActiveConnection>& connections) {
    std::lock_guard<std::mutex> lock(m_);
    connections.clear();
    for (const auto& [handle, c] : conns_) {
        if (c->hungUp || c->state != dsConnected || c->error != 0) continue;
        connections.push_back({handle, c->entry, "modem", "Fake modem"});
    }
    return 0;
}

int FakeDialUpBackend::GetEntryDialParams(const std::string& entry, DialParams& params) {
    std::lock_guard<std::mutex> lock(m_);
    if (paramsError_ != 0) return paramsError_;
    if (!HasEntry(entry)) return deEntryNotFound;
    params = params_[entry];
    return 0;
}

int FakeDialUpBackend::SetEntryDialParams(const std::string& entry, const DialParams& params) {
    std::lock_guard<std::mutex> lock(m_);
    if (paramsError_ != 0) return paramsError_;
    if (!HasEntry(entry)) return deEntryNotFound;
    params_[entry] = params;
    return 0;
}

int FakeDialUpBackend::Play(Conn& c, const std::vector<FakeDialStep>& steps,
                            const Progress& progress) {
    // Reports are made under the lock, so none can follow a completed
    // HangUp of this connection.
    std::unique_lock<std::mutex> lock(m_);
    for (const FakeDialStep& step : steps) {
        if (step.DelayMs > 0 &&
            wake_.wait_for(lock, std::chrono::milliseconds(step.DelayMs), [&] { return c.cancelled; }))
            return 0;
        if (c.cancelled) return 0;
        c.state = step.State;
        c.error = step.Error;
        if (progress) progress(step.State, step.Error);
        if (step.Error != 0) return step.Error;
    }
    return 0;
}

int FakeDialUpBackend::Dial(const std::string& entry, const DialParams& params, Progress progress,
                            DialHandle& handle) {
    std::unique_lock<std::mutex> lock(m_);
    handle = 0;
    ++dialCount_;
    lastDialParams_ = params;
    if (!HasEntry(entry)) return deEntryNotFound;
    auto c = std::make_shared<Conn>();
    c->entry = entry;
    if (dialResult_ != 0) {
        if (halfMade_) {
            c->error = dialResult_;
            handle = next_++;
            conns_[handle] = c;
        }
        return dialResult_;
    }
    handle = next_++;
    conns_[handle] = c;
    std::vector<FakeDialStep> steps = script_;
    if (!progress) {
        lock.unlock();
        return Play(*c, steps, nullptr);
    }
    c->playing = true;
    c->thread = std::thread([this, c, steps, progress] {
        Play(*c, steps, progress);
        std::lock_guard<std::mutex> l(m_);
        c->playing = false;
        wake_.notify_all();
    });
    return 0;
}

int FakeDialUpBackend::GetConnectStatus(DialHandle handle, ConnectStatus& status) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = conns_.find(handle);
    if (it == conns_.end()) return deInvalidHandle;
    status = {it->second->state, it->second->error};
    return 0;
}

int FakeDialUpBackend::HangUp(DialHandle handle) {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_);
        ++hangUpCount_;
        auto it = conns_.find(handle);
        if (it == conns_.end()) return deInvalidHandle;
        it->second->cancelled = true;
        it->second->hungUp = true;
        wake_.notify_all();
        if (hangUpNeverEnds_) return 0;
        thread = std::move(it->second->thread);
        conns_.erase(it);
    }
    if (thread.joinable()) thread.join();
    return 0;
}

std::string FakeDialUpBackend::ErrorText(int code) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = errorTexts_.find(code);
    return it != errorTexts_.end() ? it->second : DialErrorText(code);
}

}  // namespace platform
