// The debug map of a loaded module: which unit, function (public) and
// source line a code address belongs to. A map is read from the encoded map
// the build embeds in the executable (an ELF section that is never loaded),
// from the module's own ELF symbols and DWARF (or its separate debug file),
// or from a text map or encoded map file beside the module. Maps are kept
// in a process-wide cache, one per module file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zelMapFile {

// A read cursor over a block of bytes it owns. Reads never run past the
// valid size: a short read gives fewer bytes (or a zero value) and `Failed`.
class TMiniStream {
public:
    TMiniStream() = default;
    explicit TMiniStream(std::string_view bytes) { Assign(bytes); }
    void Assign(std::string_view bytes);

    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return data_.size(); }
    // Reallocates to the size rounded up to a multiple of 8192 bytes (0 frees
    // the block); a position beyond the new size is pulled back to it.
    void SetSize(std::size_t size);
    std::size_t Position() const { return position_; }
    std::size_t Remaining() const { return size_ - position_; }

    // Copies min(count, remaining) bytes and advances.
    std::size_t Read(void* buffer, std::size_t count);
    std::int32_t ReadInt32();
    std::uint32_t ReadUInt32() { return static_cast<std::uint32_t>(ReadInt32()); }
    // One signed byte, or when it is -128 the 32-bit integer after it.
    std::int32_t ReadCompactInt();
    // A length byte, then the text only when that many bytes remain.
    std::string ReadShortText();
    bool Failed() const { return failed_; }

private:
    std::string data_;
    std::size_t size_ = 0;
    std::size_t position_ = 0;
    bool failed_ = false;
};

enum TSegmentClass : std::uint8_t { scData = 0, scCode = 1 };

struct TSegment {
    bool Used = false;
    std::uint8_t Class = scCode;
    std::uint64_t Start = 0;
    std::uint32_t Length = 0;
    std::string Unit;
};

struct TPublic {
    bool Used = false;
    std::uint8_t Class = scCode;
    std::string Name;
    std::uint64_t Address = 0;
};

struct TLine {
    std::uint32_t Number = 0;
    std::uint64_t Address = 0;
};

// The load facts of one module, from its program headers.
struct TModuleBounds {
    std::uint64_t Handle = 0;  // load bias
    std::uint64_t CodeStart = 0, CodeEnd = 0;
    std::uint64_t DataStart = 0, DataEnd = 0;
    std::string BuildId;  // raw bytes of the GNU build id note
};

class TMapFile {
public:
    // An empty, invalid map for a module with these bounds (0: none).
    TMapFile() = default;
    explicit TMapFile(const TModuleBounds& bounds, std::string moduleFileName = {});

    // Reads the first source that works: the embedded section, the module's
    // own symbols and DWARF, then the text or encoded map file beside it.
    static std::unique_ptr<TMapFile> ForModule(const TModuleBounds& bounds, const std::string& moduleFileName);

    bool Valid = false;
    std::uint64_t ModuleHandle = 0;
    std::string ModuleFileName;
    std::string SourceFileName;
    std::uint64_t CodeStart = 0, CodeEnd = 0;
    std::uint64_t DataStart = 0, DataEnd = 0;
    std::uint64_t EntryPoint = 0;
    std::string BuildId;
    std::vector<TSegment> Segments;  // code before data, each by ascending start
    std::vector<TPublic> Publics;    // ascending by address
    std::vector<TLine> Lines;        // ascending by address

    // Searches by halving; the results equal a linear scan's.
    TSegment SegmentAt(std::uint8_t segmentClass, std::uint64_t address) const;
    TPublic PublicAt(std::uint64_t address) const;
    std::uint32_t LineAt(std::uint64_t address, std::uint64_t& nextAddress) const;
    // The same rules by plain scanning, for checking the searches.
    TSegment SegmentAtLinear(std::uint8_t segmentClass, std::uint64_t address) const;
    TPublic PublicAtLinear(std::uint64_t address) const;
    std::uint32_t LineAtLinear(std::uint64_t address, std::uint64_t& nextAddress) const;

    // Building. Addresses given here are absolute.
    void AddSegment(std::uint8_t segmentClass, std::uint64_t start, std::uint32_t length, std::string unit);
    void AddPublic(std::uint8_t segmentClass, std::uint64_t address, std::string name, bool fromText);
    void AddLine(std::uint32_t number, std::uint64_t address, bool ordered);

    // The container: signature, payload length, version 2, enciphered and
    // compressed payload. False (and an invalid map) on any damage.
    bool LoadEncodedMap(std::string_view container);
    // Map text as the producer writes it; unparsable lines are skipped.
    bool ParseMapText(std::string_view text);

private:
    int lastSegment_[2] = {-1, -1};
};

// The producer's side: the payload and container of a map, and its text
// form. Addresses are written relative to the map's code start.
std::string EncodeMap(const TMapFile& map);
// The container around a plain (not yet compressed) payload.
std::string EncodeContainer(const std::string& payload);
std::string MapText(const TMapFile& map, const std::string& moduleName);

inline constexpr std::string_view kSignature = "TarnwickDbgMap";  // 14 characters
inline constexpr std::uint32_t kVersion = 2;
inline constexpr const char* kSectionName = ".zel.except";

// Reads the map of a module from its ELF symbols and DWARF (with a
// separate debug file found by build id under /usr/lib/debug when the
// module has none itself). `bias` is the load bias (0 for the file as it
// lies on disk). False when the file cannot be read.
bool LoadFromElf(TMapFile& map, const std::string& path, std::uint64_t bias);
// The bounds of a module file on disk, unrelocated.
bool ElfBounds(const std::string& path, TModuleBounds& bounds);
// The raw contents of a named section of an ELF file, empty when absent.
std::string ElfSection(const std::string& path, const char* name);

// ---- the process-wide cache

// The map of the module that holds the address (0: the program itself).
// An address in no loaded module gives an invalid map that is not cached
// and touches no file. Shared ownership keeps a map alive while a caller
// uses it, even when the cache replaces it meanwhile.
std::shared_ptr<const TMapFile> MapForAddress(std::uint64_t address);

// Module, unit, line, public address and name of an address; false when the
// address is 0 or its module has no valid map.
bool LookupAddress(std::uint64_t address, std::string& moduleName, std::string& unitName,
                   std::uint32_t& lineNumber, std::uint64_t& publicAddress, std::string& publicName);

// The name of a public that starts exactly at the address, else empty.
std::string PublicNameAt(std::uint64_t address);

// Keeps the line of the last query while the address stays in its range.
void CachedLineAt(std::uint64_t address, std::uint32_t& line, std::uint64_t& fromAddress,
                  std::uint64_t& toAddress);

// The loaded module holding an address, from the dynamic linker's list.
bool ModuleOf(std::uint64_t address, TModuleBounds& bounds, std::string& fileName);

// Empties the cache (maps still in use stay alive with their users).
void ClearCache();

}  // namespace zelMapFile
