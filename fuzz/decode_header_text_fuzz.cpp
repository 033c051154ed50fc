// Fuzz target: a decoded header value is always valid UTF-8 without
// control characters other than TAB, whatever the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codecs/charsettables.h"
#include "codecs/headerwords.h"
#include "codecs/qev_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string out = HeaderWords::DecodeHeaderText(in);
    if (!CharsetTables::IsValidUtf8(out)) std::abort();
    for (unsigned char c : out)
        if ((c < 0x20 && c != '\t') || c == 0x7F) std::abort();
    (void)qev_util::TidyAddressList(in);
    (void)qev_util::GetParameter(in, "name");
    return 0;
}
