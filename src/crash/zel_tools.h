// Operating-system facts and small tools the crash reporter shares: the OS
// version record, tick arithmetic, which loaded module an address belongs
// to, version numbers as text and the undecorating of public symbol names.
#pragma once

#include <cstdint>
#include <string>

namespace zelTools {

// The OS version record. The enumerations classify the two families the
// report format knows; on this system both flags are false, the enumerations
// stay 0 and the description comes from uname.
struct TOsVersion {
    std::uint32_t Major = 0;
    std::uint32_t Minor = 0;
    std::uint32_t Build = 0;
    std::string ServicePack;  // at most 128 characters
    bool Win9x = false;
    bool WinNt = false;
    int Enum9x = 0;
    int EnumNt = 0;
    std::uint32_t ServicePackNumber = 0;
    std::string Description;
};

// Index to name: 0 "None" ... 12 "Windows NT New".
const char* OsName(int index);

// Fills the family enumerations, service-pack number and description of a
// record whose numbers, service-pack text and family flags are set. A 9x
// build number is first cut to its low 16 bits.
void ClassifyOsVersion(TOsVersion& v);

// Computed once from uname and kept; callers get a copy.
TOsVersion OsVersion();

// Free-resource percentage of the 16-bit user module (kind 0 system,
// 1 graphics, 2 user). Such a module only exists on the 9x family, which
// this program never runs on, so the answer is always 0.
int FreeResourcePercent(int kind);

// The four 16-bit parts of a file version, most significant first, joined by ".".
std::string VersionText(std::uint64_t version);

// A 32-bit millisecond tick count and the time since one, across wrap-around.
std::uint32_t TickCount();
std::uint32_t TicksBetween(std::uint32_t startTick, std::uint32_t nowTick);
std::uint32_t TicksSince(std::uint32_t startTick);

// True when the address lies in a loaded module of this process; gives the
// module's load address as its handle and its file name (at most 260
// characters).
bool ModuleOfAddress(const void* address, std::uintptr_t& moduleHandle,
                     std::string& moduleFileName);

// Turns a compiler-decorated public name ("@Unit@TClass@Method$qqrv") into
// class-dot-method form ("TClass.Method") and gives the unit part ("Unit").
// "::" becomes "." first. Returns whether the name was decorated.
bool DemangleName(std::string& name, std::string& unitName);

}  // namespace zelTools
