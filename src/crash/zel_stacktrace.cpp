// Placeholder walker until the map-based walk lands: it lists the exception
// address and the preset values (or the stack slots that point into loaded
// code), each in the one-line form from the dynamic linker's symbols.
#include "zel_stacktrace.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace zelStackTrace {

namespace {

std::string Hex16(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool InCode(std::uint64_t value) {
    Dl_info info{};
    return value > 7 && dladdr(reinterpret_cast<void*>(value), &info) != 0 && info.dli_fname != nullptr;
}

}  // namespace

std::string FormatStackLine(std::uint64_t address) {
    Dl_info info{};
    if (address == 0 || dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_fname == nullptr)
        return Hex16(address) + " ???";
    std::string module = info.dli_fname;
    std::size_t slash = module.rfind('/');
    if (slash != std::string::npos) module.erase(0, slash + 1);
    std::string line = Hex16(address) + " " + module;
    if (info.dli_sname != nullptr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        line += " ";
        line += status == 0 && demangled ? demangled : info.dli_sname;
        std::free(demangled);
    }
    return line;
}

std::string WalkStack(const TWalkOptions&, const zelCapture::TStackCapture& stack,
                      std::uint64_t exceptionAddress, const std::vector<TPresetItem>* preset,
                      TProgress*, std::uint64_t* functionStart, std::uint64_t* shownAddress) {
    if (functionStart) *functionStart = 0;
    if (shownAddress) *shownAddress = 0;
    std::vector<std::uint64_t> values;
    if (preset) {
        for (const TPresetItem& item : *preset)
            if (InCode(item.Value)) values.push_back(item.Value);
    } else {
        for (std::uint64_t at = stack.Base; at + 8 <= stack.Base + stack.Bytes.size(); at += 8) {
            std::uint64_t value = 0;
            if (stack.ReadWord(at, value) && InCode(value)) values.push_back(value);
        }
    }
    if (exceptionAddress != 0) values.push_back(exceptionAddress);
    std::string text;
    for (std::uint64_t value : values) {
        if (!text.empty()) text += "\r\n";
        text += FormatStackLine(value);
    }
    return text;
}

}  // namespace zelStackTrace
