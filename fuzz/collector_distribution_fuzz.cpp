// Fuzz target: what distribution reads of a fetched message before anyone
// is looked up: the header scan, the envelope headers, the To/Cc text, the
// addresses and quoted names. The input is the message; the first byte also
// says how often it is repeated into one long line, so that a scan that is
// not linear, or not bounded, runs past the time limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "transport/logfile.h"
#include "transport/servers.h"

namespace {

void Check(const std::string& message) {
    std::istringstream in(message);
    const servers::FetchedHeader h = servers::ScanHeader(in, "\r\n.\r\n");
    if (h.lines.size() > 299) std::abort();
    std::size_t total = 0;
    for (const auto& line : h.lines) {
        if (line.size() > 64 * 1024 || line.find_first_of("\r\n") != std::string::npos) std::abort();
        total += line.size();
    }
    if (total > 512 * 1024 + 64 * 1024 + 299 * 998) std::abort();

    const std::string envelope = servers::EnvelopeText(h.lines, {"envelope-to:", "delivered-to:", "x-original-to"});
    if (envelope.size() > 3 * 256) std::abort();
    const std::string toCc = servers::ToCcText(h.lines);
    for (const std::string* text : {&envelope, &toCc}) {
        bool cut = false;
        const auto addresses = servers::ExtractAddresses(*text, servers::kMaxAddressesPerMessage, &cut);
        if (addresses.size() > servers::kMaxAddressesPerMessage) std::abort();
        if (cut && addresses.size() != servers::kMaxAddressesPerMessage) std::abort();
        for (const auto& a : addresses)
            if (a.find('@') == std::string::npos || a.find_first_of(" \t\r\n,;<>") != std::string::npos) std::abort();
        const auto names = servers::ExtractQuotedNames(*text, 3, &cut);
        if (names.size() > 3) std::abort();
        for (const auto& n : names)
            if (n.find('"') != std::string::npos) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A line per address in pop.log is not what is tested here.
    procs::LogClientActivity = false;
    const std::string input(reinterpret_cast<const char*>(data), size);
    Check(input);
    if (size < 2) return 0;
    // The same bytes again as one To: line of up to a megabyte.
    std::string piece = input;
    for (char& c : piece)
        if (c == '\r' || c == '\n') c = ' ';
    const std::size_t times = 1 + (data[0] % 16) * (1024 * 1024 / 16) / size;
    std::string to = "To: ";
    to.reserve(4 + times * size + 32);
    for (std::size_t i = 0; i < times; ++i) to += piece;
    Check(to + "\r\nSubject: x\r\n\r\nbody\r\n");
    return 0;
}
