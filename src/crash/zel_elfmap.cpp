// The debug map of an ELF module from its own symbols and DWARF, read with
// elfutils. The build's map producer uses it on the linked program, and the
// crash reporter on modules without an embedded map (the C library, Qt):
// that is how their frames get names. Debug files are looked for only on
// this machine, never fetched.
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cxxabi.h>
#include <map>
#include <memory>
#include <unordered_map>

#include "zel_mapfile.h"

namespace zelMapFile {

namespace {

class ElfFile {
public:
    explicit ElfFile(const std::string& path) {
        elf_version(EV_CURRENT);
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0) elf_ = elf_begin(fd_, ELF_C_READ_MMAP, nullptr);
        if (elf_ && elf_kind(elf_) != ELF_K_ELF) {
            elf_end(elf_);
            elf_ = nullptr;
        }
    }
    ~ElfFile() {
        if (elf_) elf_end(elf_);
        if (fd_ >= 0) close(fd_);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;
    Elf* get() const { return elf_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    Elf* elf_ = nullptr;
};

// Local debug files only: the build-id tree and the module itself.
int FindLocalDebuginfo(Dwfl_Module* mod, void** userdata, const char* modname, Dwarf_Addr base,
                       const char* file_name, const char* debuglink_file, GElf_Word debuglink_crc,
                       char** debuginfo_file_name) {
    return dwfl_build_id_find_debuginfo(mod, userdata, modname, base, file_name, debuglink_file, debuglink_crc,
                                        debuginfo_file_name);
}

std::string RawBase(const char* raw, bool& clone);

// Demangled, with the suffixes of the compiler's clones taken off, so that
// a function's cold part or specialised copy carries the function's name.
std::string PublicName(const char* raw) {
    std::string name = raw;
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    if (status == 0 && demangled) {
        name = demangled;
        std::free(demangled);
        for (;;) {
            std::size_t clone = name.find(" [clone ");
            if (clone == std::string::npos) break;
            std::size_t close = name.find(']', clone);
            name.erase(clone, close == std::string::npos ? std::string::npos : close - clone + 1);
        }
        return name;
    }
    std::free(demangled);
    bool clone = false;
    return RawBase(raw, clone);
}

std::string BaseName(const char* path) {
    if (!path) return {};
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

struct Row {
    std::uint64_t address;
    std::uint32_t line;
    std::uint32_t file;  // index into the file names
    bool statement;
    bool endSequence;
};

// Code inlined into a function, outermost only: where it was called from.
struct InlineSite {
    std::uint64_t low, high;
    std::uint32_t line;
    std::uint32_t file;  // index into the file names
};

// The outermost inlined calls below `parent` (functions with code, their
// blocks, and the namespaces that hold functions), with the call's line
// and file; `files` turns a unit's file number into ours. Types are not
// looked into: they hold no code, and most of the entries.
void CollectInlineSites(Dwarf_Die* parent, bool inFunction, Dwarf_Addr bias,
                        const std::vector<std::uint32_t>& files, std::vector<InlineSite>& sites) {
    Dwarf_Die child;
    if (dwarf_child(parent, &child) != 0) return;
    do {
        const int tag = dwarf_tag(&child);
        if (tag == DW_TAG_inlined_subroutine && inFunction) {
            Dwarf_Attribute attr;
            Dwarf_Word line = 0, file = 0;
            if (dwarf_formudata(dwarf_attr(&child, DW_AT_call_line, &attr), &line) != 0 ||
                dwarf_formudata(dwarf_attr(&child, DW_AT_call_file, &attr), &file) != 0 || file >= files.size())
                continue;
            Dwarf_Addr base = 0, start = 0, end = 0;
            for (ptrdiff_t at = 0; (at = dwarf_ranges(&child, at, &base, &start, &end)) > 0;)
                if (end > start)
                    sites.push_back({start + bias, end + bias, std::uint32_t(line), files[std::size_t(file)]});
        } else if (!dwarf_haschildren(&child)) {
            continue;
        } else if (tag == DW_TAG_subprogram) {
            if (dwarf_hasattr(&child, DW_AT_low_pc) || dwarf_hasattr(&child, DW_AT_ranges))
                CollectInlineSites(&child, true, bias, files, sites);
        } else if (tag == DW_TAG_lexical_block || tag == DW_TAG_namespace) {
            CollectInlineSites(&child, inFunction, bias, files, sites);
        }
    } while (dwarf_siblingof(&child, &child) == 0);
}

struct Function {
    std::uint64_t address;
    std::uint64_t end;
    std::string name;
    std::string rawBase;  // the symbol without a clone suffix
    bool clone;           // a part split off another function
    bool global;
    bool initializer;     // a file's static initialisation
};

const char* const kCloneSuffixes[] = {".cold", ".isra", ".constprop", ".part"};

// The symbol's name up to its first clone suffix.
std::string RawBase(const char* raw, bool& clone) {
    std::string base = raw;
    clone = false;
    for (const char* suffix : kCloneSuffixes) {
        std::size_t at = base.find(suffix);
        if (at != std::string::npos && at > 0) {
            base.resize(at);
            clone = true;
        }
    }
    return base;
}

}  // namespace

bool ElfBounds(const std::string& path, TModuleBounds& bounds) {
    ElfFile file(path);
    if (!file.get()) return false;
    std::size_t count = 0;
    if (elf_getphdrnum(file.get(), &count) != 0) return false;
    bounds = TModuleBounds{};
    for (std::size_t i = 0; i < count; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(file.get(), int(i), &ph) || ph.p_type != PT_LOAD) continue;
        if ((ph.p_flags & PF_X) && bounds.CodeEnd == 0) {
            bounds.CodeStart = ph.p_vaddr;
            bounds.CodeEnd = ph.p_vaddr + ph.p_memsz;
        } else if (ph.p_flags & PF_W) {
            if (bounds.DataStart == 0) bounds.DataStart = ph.p_vaddr;
            bounds.DataEnd = std::max<std::uint64_t>(bounds.DataEnd, ph.p_vaddr + ph.p_memsz);
        }
    }
    return bounds.CodeEnd != 0;
}

std::string ElfSection(const std::string& path, const char* name) {
    ElfFile file(path);
    if (!file.get()) return {};
    std::size_t strndx = 0;
    if (elf_getshdrstrndx(file.get(), &strndx) != 0) return {};
    for (Elf_Scn* scn = elf_nextscn(file.get(), nullptr); scn; scn = elf_nextscn(file.get(), scn)) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh)) continue;
        const char* n = elf_strptr(file.get(), strndx, sh.sh_name);
        if (!n || std::strcmp(n, name) != 0 || sh.sh_type == SHT_NOBITS) continue;
        std::string data(sh.sh_size, '\0');
        ssize_t got = pread(file.fd(), data.data(), data.size(), static_cast<off_t>(sh.sh_offset));
        if (got != static_cast<ssize_t>(data.size())) return {};
        return data;
    }
    return {};
}

bool LoadFromElf(TMapFile& map, const std::string& path, std::uint64_t bias) {
    static char debuginfoPath[] = "/usr/lib/debug";
    Dwfl_Callbacks callbacks{};
    callbacks.find_elf = dwfl_build_id_find_elf;
    callbacks.find_debuginfo = FindLocalDebuginfo;
    callbacks.section_address = dwfl_offline_section_address;
    char* debugPath = debuginfoPath;
    callbacks.debuginfo_path = &debugPath;
    std::unique_ptr<Dwfl, void (*)(Dwfl*)> dwfl(dwfl_begin(&callbacks), dwfl_end);
    if (!dwfl) return false;
    Dwfl_Module* mod = dwfl_report_elf(dwfl.get(), BaseName(path.c_str()).c_str(), path.c_str(), -1, bias, false);
    dwfl_report_end(dwfl.get(), nullptr, nullptr);
    if (!mod) return false;

    // Functions of the symbol table, one per address.
    std::vector<Function> functions;
    int symbols = dwfl_module_getsymtab(mod);
    for (int i = 0; i < symbols; ++i) {
        GElf_Sym sym;
        GElf_Addr address = 0;
        GElf_Word shndx = 0;
        const char* name = dwfl_module_getsym_info(mod, i, &sym, &address, &shndx, nullptr, nullptr);
        if (!name || !*name || sym.st_shndx == SHN_UNDEF) continue;
        int type = GELF_ST_TYPE(sym.st_info);
        if (type != STT_FUNC && type != STT_GNU_IFUNC) continue;
        if (address < map.CodeStart || (map.CodeEnd != 0 && address >= map.CodeEnd)) continue;
        Function f;
        f.address = address;
        f.end = address + sym.st_size;
        f.global = GELF_ST_BIND(sym.st_info) != STB_LOCAL;
        f.initializer = std::strncmp(name, "_GLOBAL__sub_I_", 15) == 0;
        f.name = PublicName(name);
        f.rawBase = RawBase(name, f.clone);
        functions.push_back(std::move(f));
    }
    // Aliases share an address: keep one, chosen the same way every time.
    std::sort(functions.begin(), functions.end(), [](const Function& a, const Function& b) {
        if (a.address != b.address) return a.address < b.address;
        if (a.global != b.global) return a.global;
        if (a.end != b.end) return a.end > b.end;
        return a.name < b.name;
    });
    functions.erase(std::unique(functions.begin(), functions.end(),
                                [](const Function& a, const Function& b) { return a.address == b.address; }),
                    functions.end());

    // The line rows of every compilation unit.
    std::vector<Row> rows;
    std::vector<InlineSite> sites;
    std::vector<std::string> files;
    std::unordered_map<std::string, std::uint32_t> fileIndex;
    auto fileNumber = [&](const char* src) {
        auto [it, added] = fileIndex.try_emplace(src ? src : "", std::uint32_t(files.size()));
        if (added) files.push_back(it->first);
        return it->second;
    };
    Dwarf_Addr dwBias = 0;
    Dwarf* dwarf = dwfl_module_getdwarf(mod, &dwBias);
    if (dwarf) {
        Dwarf_Off offset = 0, next = 0;
        std::size_t headerSize = 0;
        while (dwarf_nextcu(dwarf, offset, &next, &headerSize, nullptr, nullptr, nullptr) == 0) {
            Dwarf_Die cu;
            if (dwarf_offdie(dwarf, offset + headerSize, &cu)) {
                Dwarf_Lines* lines = nullptr;
                std::size_t count = 0;
                if (dwarf_getsrclines(&cu, &lines, &count) == 0) {
                    for (std::size_t i = 0; i < count; ++i) {
                        Dwarf_Line* l = dwarf_onesrcline(lines, i);
                        Dwarf_Addr a = 0;
                        int number = 0;
                        bool statement = false, endSequence = false;
                        if (!l || dwarf_lineaddr(l, &a) != 0 || dwarf_lineno(l, &number) != 0) continue;
                        dwarf_linebeginstatement(l, &statement);
                        dwarf_lineendsequence(l, &endSequence);
                        rows.push_back({a + dwBias, std::uint32_t(number),
                                        fileNumber(dwarf_linesrc(l, nullptr, nullptr)), statement, endSequence});
                    }
                }
                Dwarf_Files* unitFiles = nullptr;
                std::size_t fileCount = 0;
                if (dwarf_getsrcfiles(&cu, &unitFiles, &fileCount) == 0) {
                    std::vector<std::uint32_t> numbers;
                    for (std::size_t i = 0; i < fileCount; ++i)
                        numbers.push_back(fileNumber(dwarf_filesrc(unitFiles, i, nullptr, nullptr)));
                    CollectInlineSites(&cu, false, dwBias, numbers, sites);
                }
            }
            offset = next;
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.address < b.address; });
    std::sort(sites.begin(), sites.end(), [](const InlineSite& a, const InlineSite& b) { return a.low < b.low; });
    // The outermost inlined call that holds `address`, if any. The rows are
    // asked for in address order: the search goes on from the last answer.
    std::size_t nextSite = 0;
    auto siteAt = [&](std::uint64_t address) -> const InlineSite* {
        if (nextSite > 0 && address < sites[nextSite - 1].low) nextSite = 0;
        while (nextSite < sites.size() && sites[nextSite].low <= address) ++nextSite;
        if (nextSite == 0 || address >= sites[nextSite - 1].high) return nullptr;
        return &sites[nextSite - 1];
    };

    // Each function's unit is the file of its entry row. A split-off part
    // of a function (its cold part, a specialised copy) starts wherever the
    // compiler cut it, often inside inlined code: it takes the unit of the
    // function it came from.
    constexpr std::uint32_t kNoFile = ~std::uint32_t(0);
    std::vector<std::uint32_t> unitFiles(functions.size(), kNoFile);
    std::unordered_map<std::string, std::uint32_t> parentFiles;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        auto first = std::lower_bound(rows.begin(), rows.end(), functions[i].address,
                                      [](const Row& r, std::uint64_t a) { return r.address < a; });
        for (auto it = first; it != rows.end() && it->address == functions[i].address; ++it)
            if (!it->endSequence) {
                unitFiles[i] = it->file;
                break;
            }
        if (!functions[i].clone && unitFiles[i] != kNoFile) parentFiles.emplace(functions[i].rawBase, unitFiles[i]);
    }
    for (std::size_t i = 0; i < functions.size(); ++i)
        if (functions[i].clone) {
            auto parent = parentFiles.find(functions[i].rawBase);
            if (parent != parentFiles.end()) unitFiles[i] = parent->second;
        }

    // Its lines are that file's rows within it (the last row of an address
    // wins). Inlined code has the line of its call, as the function's own
    // frame has in a debugger: a thread that waits in it is at that call
    // (the row of the file before it may well be unrelated code).
    for (std::size_t i = 0; i < functions.size(); ++i) {
        Function& f = functions[i];
        std::uint64_t extent = i + 1 < functions.size() ? functions[i + 1].address : std::max(f.end, f.address + 1);
        if (map.CodeEnd != 0) extent = std::min(extent, map.CodeEnd);
        bool hasUnit = unitFiles[i] != kNoFile;
        std::uint32_t unitFile = unitFiles[i];
        std::string unit = hasUnit ? BaseName(files[unitFile].c_str()) : std::string();
        if (hasUnit && extent > f.address && extent - f.address <= 0xFFFFFFFFull)
            map.AddSegment(scCode, f.address, static_cast<std::uint32_t>(extent - f.address), unit);
        // A file's static initialisation is named like its unit; the map
        // calls it "initialization".
        map.AddPublic(scCode, f.address, f.initializer && hasUnit ? unit : f.name, false);
        if (!hasUnit) continue;
        auto first = std::lower_bound(rows.begin(), rows.end(), f.address,
                                      [](const Row& r, std::uint64_t a) { return r.address < a; });
        std::vector<Row> own;
        for (auto it = first; it != rows.end() && it->address < extent; ++it) {
            if (it->endSequence) continue;
            Row row = *it;
            if (const InlineSite* site = siteAt(row.address)) {
                if (site->file != unitFile) continue;
                row.line = site->line;
                row.file = kNoFile;  // a call's line
            } else if (row.file != unitFile) {
                continue;
            }
            if (!own.empty() && own.back().address == row.address) own.back() = row;
            else own.push_back(row);
        }
        std::uint32_t last = 0;
        for (const Row& row : own) {
            // The rows of one inlined call are one line.
            if (row.file == kNoFile && row.line == last) continue;
            map.AddLine(row.line, row.address, true);
            last = row.line;
        }
    }
    GElf_Addr entryBias = 0;
    Elf* elf = dwfl_module_getelf(mod, &entryBias);
    GElf_Ehdr ehdr;
    if (elf && gelf_getehdr(elf, &ehdr)) map.EntryPoint = ehdr.e_entry + entryBias;
    map.Valid = !map.Publics.empty();
    return map.Valid;
}

}  // namespace zelMapFile
