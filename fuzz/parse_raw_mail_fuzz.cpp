// Fuzz target: any bytes as a raw message must parse without a crash, a
// leak or undefined behaviour, and give attachment names that are safe to
// use as file names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codecs/qevmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TQevMsg msg;
    msg.SetRawMailText(std::string_view(reinterpret_cast<const char*>(data), size));
    msg.ParseRawMail();
    for (std::size_t i = 0; i < msg.Attachments.Count(); ++i) {
        for (char c : msg.Attachments[i].FileName) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) std::abort();
        }
        (void)msg.Attachments[i].GetBody().size();
    }
    return 0;
}
