// Fuzz target: a provider's POP3 replies as the collector reads them: the
// STAT reply's numbers, and the end of a message found across reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/servers.h"
#include "transport/store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::int64_t count = -1, bytes = -1;
    servers::ParseStatReply(input, count, bytes);
    if (count < 0 || bytes < 0) std::abort();

    // The end marker is found whatever the cut, as the collector looks for it
    // in the kept tail plus the new chunk.
    const bool present = ("\r\n" + input).find(smtp::EndMarker) != std::string::npos;
    const std::size_t step = size ? 1 + data[0] % 9 : 1;
    std::string tail = "\r\n";
    bool found = false;
    for (std::size_t i = 0; i < input.size() && !found; i += step) {
        const std::string joined = tail + input.substr(i, step);
        found = joined.find(smtp::EndMarker) != std::string::npos;
        tail = joined.size() > 11 ? joined.substr(joined.size() - 11) : joined;
    }
    if (found != present) std::abort();
    return 0;
}
