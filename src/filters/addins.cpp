// The version of an add-in library, from its ELF SONAME.
#include "filters/addins.h"

#include "platform/files.h"

#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace Addins {

namespace {

template <typename T>
bool ReadAt(const std::string& data, std::uint64_t offset, T& out) {
    if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, data.data() + offset, sizeof(T));
    return true;
}

// DT_SONAME of an ELF shared object, read from its section table. Empty
// when the file is no ELF object or has no SONAME.
template <typename Ehdr, typename Shdr, typename Dyn>
std::string SonameOf(const std::string& data) {
    Ehdr eh;
    if (!ReadAt(data, 0, eh) || eh.e_shentsize != sizeof(Shdr)) return "";
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Shdr sh;
        if (!ReadAt(data, eh.e_shoff + std::uint64_t(i) * sizeof(Shdr), sh) || sh.sh_type != SHT_DYNAMIC) continue;
        Shdr strtab;
        if (sh.sh_link >= eh.e_shnum ||
            !ReadAt(data, eh.e_shoff + std::uint64_t(sh.sh_link) * sizeof(Shdr), strtab))
            return "";
        for (std::uint64_t off = 0; off + sizeof(Dyn) <= sh.sh_size; off += sizeof(Dyn)) {
            Dyn dyn;
            if (!ReadAt(data, sh.sh_offset + off, dyn) || dyn.d_tag == DT_NULL) break;
            if (dyn.d_tag != DT_SONAME) continue;
            const std::uint64_t at = std::uint64_t(strtab.sh_offset) + dyn.d_un.d_val;
            if (dyn.d_un.d_val >= strtab.sh_size || at >= data.size()) return "";
            const std::uint64_t limit = std::min<std::uint64_t>(data.size(), strtab.sh_offset + strtab.sh_size);
            std::string name;
            for (std::uint64_t p = at; p < limit && data[p] != '\0'; ++p) name += data[p];
            return name;
        }
    }
    return "";
}

}  // namespace

std::string GetFileVersion(const std::string& path) {
    std::string data;
    if (!platform::ReadFile(path, data) || data.size() < EI_NIDENT || std::memcmp(data.data(), ELFMAG, SELFMAG) != 0)
        return "";
    std::string soname;
    if (data[EI_CLASS] == ELFCLASS64) soname = SonameOf<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn>(data);
    else if (data[EI_CLASS] == ELFCLASS32) soname = SonameOf<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn>(data);
    if (soname.empty()) return "";
    const std::size_t so = soname.find(".so.");
    int parts[4] = {0, 0, 0, 0};
    int count = 0;
    if (so != std::string::npos) {
        std::size_t p = so + 4;
        while (count < 4 && p < soname.size() && std::isdigit(static_cast<unsigned char>(soname[p]))) {
            long long v = 0;
            while (p < soname.size() && std::isdigit(static_cast<unsigned char>(soname[p])))
                v = std::min<long long>(v * 10 + (soname[p++] - '0'), 65535);
            parts[count++] = static_cast<int>(v);
            if (p < soname.size() && soname[p] == '.') ++p;
            else break;
        }
    }
    if (count == 0) return "1.0.0.0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
    return buf;
}

}  // namespace Addins
