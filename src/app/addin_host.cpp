// tarnwick-addin-host: holds one add-in library for the mail server. The
// server starts one host per library at start-up and keeps it for the run,
// so the add-in is loaded once and keeps its state from call to call, while
// a crash or a hang inside it ends only this process.
//
// Usage: tarnwick-addin-host <library>, with the server's end of a stream
// socket on descriptor 3. The exchange (integers in the machine's order,
// texts as the 256-byte buffers of the add-in interface):
//   host -> server on start:  'H', loaded, has TWAddinName, has
//                             TWAddinAction, has TWNewAddinAction (one byte
//                             each, 0 or 1), then the load error as a
//                             length byte and up to 255 characters
//   'N'                       -> 'R' + the buffer TWAddinName filled
//   'A' + kind (int32) + message file + parameters + user
//                             -> 'B' + the action's result byte
// The host ends when the server closes its end.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr int kChannel = 3;

using TextExport = void (*)(unsigned char*);
using ActionExport = unsigned char (*)(std::int32_t, unsigned char*, unsigned char*);
using NewActionExport = unsigned char (*)(std::int32_t, unsigned char*, unsigned char*, unsigned char*);

bool ReadAll(void* data, std::size_t size) {
    auto* p = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = read(kChannel, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = write(kChannel, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
    return handle ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    std::string error;
    if (handle == nullptr) {
        const char* why = dlerror();
        error = why ? why : "unknown error";
        if (error.size() > 255) error.resize(255);
    }
    const auto name = Symbol<TextExport>(handle, "TWAddinName");
    const auto action = Symbol<ActionExport>(handle, "TWAddinAction");
    const auto newAction = Symbol<NewActionExport>(handle, "TWNewAddinAction");

    unsigned char hello[6] = {'H', handle != nullptr, name != nullptr, action != nullptr, newAction != nullptr,
                              static_cast<unsigned char>(error.size())};
    if (!WriteAll(hello, sizeof hello) || !WriteAll(error.data(), error.size())) return 1;
    if (handle == nullptr) return 0;

    unsigned char command = 0;
    while (ReadAll(&command, 1)) {
        if (command == 'N') {
            unsigned char reply[257] = {'R'};
            if (name) name(reply + 1);
            if (!WriteAll(reply, sizeof reply)) return 1;
        } else if (command == 'A') {
            std::int32_t kind = 0;
            unsigned char file[256], params[256], user[256];
            if (!ReadAll(&kind, sizeof kind) || !ReadAll(file, 256) || !ReadAll(params, 256) || !ReadAll(user, 256))
                return 1;
            unsigned char result = 0;
            if (newAction) result = newAction(kind, file, params, user);
            else if (action) result = action(kind, file, params);
            const unsigned char reply[2] = {'B', result};
            if (!WriteAll(reply, sizeof reply)) return 1;
        } else {
            return 1;
        }
    }
    return 0;
}
