// Fuzz target: SMTP server input. Any bytes, taken line by line as the
// server takes them, must split into a command and an argument without a
// crash, with envelope addresses within their bound; the recipient list,
// the address filter and the footer insertion take the pieces as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/smtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string buffer = input, command, argument;
    std::string previous;
    for (int n = 0; !buffer.empty() && n < 10000; ++n) {
        const std::size_t before = buffer.size();
        smtp::SplitSmtpLine(buffer, command, argument);
        if (buffer.size() >= before) std::abort();  // every call takes a line
        if ((command == "mail from" || command == "rcpt to") && argument.size() > 255) std::abort();
        for (const auto& r : smtp::SplitRecipientList(argument))
            if (r.size() > argument.size()) std::abort();
        (void)smtp::IpFilterAdmits(argument, previous);
        previous = argument;
    }
    (void)smtp::WithHtmlFooter(input, {"footer"}, {});
    (void)smtp::WithTextFooter(input, {".footer"});
    return 0;
}
