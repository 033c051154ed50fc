// Operating-system facts and small tools of the crash library.
#include "zel_tools.h"

#include <dlfcn.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>

#include "zel_strings.h"

namespace zelTools {

namespace {

const char* const kOsNames[] = {
    "None",         "Windows 95",   "Windows 95 OSR-2", "Windows 98",    "Windows 98 SE",
    "Windows ME",   "Windows 9x New", "Windows NT 3",   "Windows NT 4",  "Windows 2000",
    "Windows XP",   "Windows 2003", "Windows NT New",
};

std::uint32_t LeadingNumber(const std::string& s, std::size_t& pos) {
    std::uint32_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') v = v * 10 + unsigned(s[pos++] - '0');
    return v;
}

TOsVersion ReadOsVersion() {
    TOsVersion v;
    utsname u{};
    if (uname(&u) != 0) {
        v.Description = OsName(0);
        return v;
    }
    // "6.1.0-18-amd64": major, minor and the third number as the build.
    std::string release = u.release;
    std::size_t pos = 0;
    v.Major = LeadingNumber(release, pos);
    if (pos < release.size() && release[pos] == '.') v.Minor = LeadingNumber(release, ++pos);
    if (pos < release.size() && release[pos] == '.') v.Build = LeadingNumber(release, ++pos);
    v.ServicePack = std::string(u.version).substr(0, 128);
    ClassifyOsVersion(v);
    v.Description = std::string(u.sysname) + " " + release;
    return v;
}

}  // namespace

const char* OsName(int index) {
    if (index < 0 || index >= int(sizeof kOsNames / sizeof kOsNames[0])) return kOsNames[0];
    return kOsNames[index];
}

void ClassifyOsVersion(TOsVersion& v) {
    v.Enum9x = v.EnumNt = 0;
    v.ServicePackNumber = 0;
    if (v.ServicePack.size() > 128) v.ServicePack.resize(128);
    if (v.Win9x) {
        v.Build &= 0xFFFF;
        if (v.Major == 4 && v.Minor < 10) v.Enum9x = v.Build <= 1000 ? 1 : 2;
        else if (v.Major == 4 && v.Minor == 10) v.Enum9x = v.Build <= 2000 ? 3 : v.Build <= 2700 ? 4 : 5;
        else if (v.Major == 4 && v.Minor <= 90) v.Enum9x = 5;
        else if (v.Major >= 4) v.Enum9x = 6;
    } else if (v.WinNt) {
        if (v.Major < 4) v.EnumNt = 7;
        else if (v.Major == 4) v.EnumNt = 8;
        else if (v.Major == 5 && v.Minor <= 2) v.EnumNt = 9 + int(v.Minor);
        else v.EnumNt = 12;
        // "Service Pack 3": the number after the first 13 characters.
        if (v.ServicePack.size() >= 14) {
            std::size_t pos = 13;
            v.ServicePackNumber = LeadingNumber(v.ServicePack, pos);
        }
    }
    v.Description = OsName(v.Win9x ? v.Enum9x : v.EnumNt);
    if (v.WinNt && !v.ServicePack.empty()) v.Description += " " + v.ServicePack;
}

TOsVersion OsVersion() {
    static const TOsVersion version = ReadOsVersion();
    return version;
}

int FreeResourcePercent(int) { return 0; }

std::string VersionText(std::uint64_t version) {
    std::string out;
    for (int shift = 48; shift >= 0; shift -= 16) {
        if (!out.empty()) out += '.';
        out += zelStrings::DecimalText(static_cast<std::uint32_t>((version >> shift) & 0xFFFF));
    }
    return out;
}

std::uint32_t TickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint32_t TicksBetween(std::uint32_t startTick, std::uint32_t nowTick) {
    return nowTick - startTick;  // unsigned arithmetic carries the wrap-around
}

std::uint32_t TicksSince(std::uint32_t startTick) { return TicksBetween(startTick, TickCount()); }

bool ModuleOfAddress(const void* address, std::uintptr_t& moduleHandle,
                     std::string& moduleFileName) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
        moduleHandle = 0;
        moduleFileName.clear();
        return false;
    }
    moduleHandle = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    moduleFileName = info.dli_fname ? info.dli_fname : "";
    if (moduleFileName.size() > 260) moduleFileName.resize(260);
    return true;
}

bool DemangleName(std::string& name, std::string& unitName) {
    unitName.clear();
    zelStrings::ReplaceAllCase(name, "::", ".");
    if (name.empty() || name[0] != '@') return false;

    std::string s = name;
    bool nested = s.size() > 1 && s[1] == '%';
    if (nested) {
        // A name inside a template instance: only the part after the last
        // "%@" is the member's own name.
        std::size_t p = s.rfind("%@");
        s = p == std::string::npos ? std::string() : s.substr(p + 1);
    }
    // The parameter types follow the first "$" that does not open a part
    // (constructor and destructor parts start with "$"); they may hold "@".
    for (std::size_t i = 1; i < s.size(); ++i)
        if (s[i] == '$' && s[i - 1] != '@') {
            s.resize(i);
            break;
        }
    std::string parts[64];
    std::size_t count = 0;
    std::size_t start = 1;
    while (start <= s.size() && count < 64) {
        std::size_t at = s.find('@', start);
        if (at == std::string::npos) at = s.size();
        parts[count++] = s.substr(start, at - start);
        start = at + 1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (parts[i].rfind("$bctr", 0) == 0) parts[i] = "Create";
        else if (parts[i].rfind("$bdtr", 0) == 0) parts[i] = "Destroy";
    }
    std::string result;
    std::size_t first = 0;
    if (!nested && count > 1) {
        unitName = parts[0];
        first = 1;
    }
    for (std::size_t i = first; i < count; ++i) {
        if (i > first) result += '.';
        result += parts[i];
    }
    name = nested ? "." + result : result;
    return true;
}

}  // namespace zelTools
