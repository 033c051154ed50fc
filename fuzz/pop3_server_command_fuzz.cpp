// Fuzz target: POP3 server input and what it sends back. Any command line
// must split without a crash; any stored message must go on the wire (RETR
// and TOP forms) with every line ending CR LF and exactly one end marker,
// whatever the chunks it is fed in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/logfile.h"
#include "transport/servers.h"
#include "transport/store.h"

namespace {

void CheckWire(const std::string& wire) {
    if (wire.size() < 3 || wire.compare(wire.size() - 3, 3, ".\r\n") != 0) std::abort();
    std::size_t pos = 0;
    while (pos < wire.size()) {
        std::size_t crlf = wire.find("\r\n", pos);
        if (crlf == std::string::npos) std::abort();
        const std::string line = wire.substr(pos, crlf - pos);
        if (line.find_first_of("\r\n") != std::string::npos) std::abort();
        if (line == "." && crlf + 2 != wire.size()) std::abort();
        pos = crlf + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string command, argument;
    procs::SplitCommand(input.substr(0, 4096), command, argument);
    if (argument.size() > 255) std::abort();
    (void)servers::SafeUniqueId(input.substr(0, 300));

    const std::string whole = smtp::WireText(input);
    CheckWire(whole);
    // Chunks cut where the first byte says: the result must not change.
    const std::size_t step = size ? 1 + data[0] % 7 : 1;
    smtp::WireWriter w;
    std::string out;
    for (std::size_t i = 0; i < input.size(); i += step) w.Feed(input.data() + i, std::min(step, input.size() - i), out);
    w.Finish(out);
    if (out != whole) std::abort();
    const long lines = size ? data[size - 1] % 5 : 0;
    CheckWire(smtp::WireText(input, lines));
    (void)servers::TopText(input, lines);
    return 0;
}
