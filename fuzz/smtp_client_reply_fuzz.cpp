// Fuzz target: replies of a provider's SMTP server as the relay client reads
// them. However the bytes are cut into reads, the replies assembled must be
// the same, none may be empty, and together they must hold every line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/smtp.h"

namespace {

std::vector<std::string> Assemble(const std::string& input, std::size_t step) {
    smtp::ReplyAssembler a;
    std::vector<std::string> replies;
    for (std::size_t i = 0; i < input.size(); i += step) {
        if (a.Add(input.substr(i, step)))
            for (std::string r = a.Take(); !r.empty(); r = a.Take()) replies.push_back(r);
    }
    return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto whole = Assemble(input, input.size() ? input.size() : 1);
    const auto cut = Assemble(input, size ? 1 + data[0] % 13 : 1);
    if (whole != cut) std::abort();
    std::size_t total = 0;
    for (const auto& r : whole) {
        if (r.empty()) std::abort();
        total += r.size();
    }
    if (total > input.size()) std::abort();
    return 0;
}
