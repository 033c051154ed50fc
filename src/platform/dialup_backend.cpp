// The backend with no entries, the error texts shared by every backend, and
// the slot through which tests choose the backend of new dial-up links.
#include "platform/dialup_backend.h"

#include <mutex>

namespace platform {

std::string DialErrorText(int code) {
    switch (code) {
    case 0: return "";
    case deInvalidHandle: return "The connection handle is invalid.";
    case deEntryNotFound: return "The dial-up entry was not found.";
    case deBadEntryName: return "The dial-up entry name is not valid.";
    case deParamsUnreadable: return "The entry's dial parameters could not be read.";
    case deParamsUnwritable: return "The entry's dial parameters could not be stored.";
    case deBadParams: return "The user name or password contains characters that cannot be stored.";
    case deDialCommand: return "The dial command failed.";
    case deHangUpCommand: return "The hang-up command failed.";
    case deNoAnswer: return "The link did not come up in time.";
    case deLinkDropped: return "The dialler ended before the link came up.";
    case deNotConfigured: return "No dial-up service is configured.";
    case deBusy: return "The entry is already being dialled.";
    case deRemoteDisconnected: return "The remote computer ended the connection.";
    default: return "Error " + std::to_string(code);
    }
}

namespace {

class NoDialUpBackend final : public DialUpBackend {
public:
    int EnumEntries(std::vector<std::string>& names) override {
        names.clear();
        return 0;
    }
    int EnumConnections(std::vector<ActiveConnection>& connections) override {
        connections.clear();
        return 0;
    }
    int GetEntryDialParams(const std::string&, DialParams&) override { return deEntryNotFound; }
    int SetEntryDialParams(const std::string&, const DialParams&) override {
        return deEntryNotFound;
    }
    int Dial(const std::string&, const DialParams&, Progress, DialHandle& handle) override {
        handle = 0;
        return deNotConfigured;
    }
    int GetConnectStatus(DialHandle, ConnectStatus&) override { return deInvalidHandle; }
    int HangUp(DialHandle) override { return 0; }
    std::string ErrorText(int code) override { return DialErrorText(code); }
};

std::mutex testingMutex;
std::shared_ptr<DialUpBackend> testingBackend;

}  // namespace

std::shared_ptr<DialUpBackend> MakeNoDialUpBackend() {
    return std::make_shared<NoDialUpBackend>();
}

void SetDialUpBackendForTesting(std::shared_ptr<DialUpBackend> backend) {
    std::lock_guard<std::mutex> lock(testingMutex);
    testingBackend = std::move(backend);
}

std::shared_ptr<DialUpBackend> DialUpBackendForTesting() {
    std::lock_guard<std::mutex> lock(testingMutex);
    return testingBackend;
}

}  // namespace platform
