// Debug map of a module: its reading from the encoded container and from
// map text, the searches over it, the producer's writers, and the
// process-wide cache of maps keyed by module file.
#include "zel_mapfile.h"

#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "zel_crypt.h"
#include "zel_tools.h"
#include "zel_zip.h"

namespace zelMapFile {

// ---------------------------------------------------------------- stream

void TMiniStream::Assign(std::string_view bytes) {
    SetSize(bytes.size());
    if (!bytes.empty()) std::memcpy(data_.data(), bytes.data(), bytes.size());
    position_ = 0;
    failed_ = false;
}

void TMiniStream::SetSize(std::size_t size) {
    std::size_t capacity = (size + 8191) / 8192 * 8192;
    if (capacity == 0) {
        std::string().swap(data_);
    } else {
        data_.resize(capacity);
    }
    size_ = size;
    if (position_ > size_) position_ = size_;
}

std::size_t TMiniStream::Read(void* buffer, std::size_t count) {
    std::size_t n = std::min(count, size_ - position_);
    if (n) std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    if (n < count) failed_ = true;
    return n;
}

std::int32_t TMiniStream::ReadInt32() {
    unsigned char b[4] = {0, 0, 0, 0};
    if (Read(b, 4) != 4) return 0;
    return static_cast<std::int32_t>(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                                     std::uint32_t(b[3]) << 24);
}

std::int32_t TMiniStream::ReadCompactInt() {
    signed char b = 0;
    if (Read(&b, 1) != 1) return 0;
    if (b != -128) return b;
    return ReadInt32();
}

std::string TMiniStream::ReadShortText() {
    unsigned char length = 0;
    if (Read(&length, 1) != 1) return {};
    if (Remaining() < length) {
        failed_ = true;
        return {};
    }
    std::string text(length, '\0');
    Read(text.data(), length);
    return text;
}

// ---------------------------------------------------------------- searches

TMapFile::TMapFile(const TModuleBounds& bounds, std::string moduleFileName)
    : ModuleHandle(bounds.Handle),
      ModuleFileName(std::move(moduleFileName)),
      CodeStart(bounds.CodeStart),
      CodeEnd(bounds.CodeEnd),
      DataStart(bounds.DataStart),
      DataEnd(bounds.DataEnd),
      BuildId(bounds.BuildId) {
    SourceFileName = ModuleFileName;
}

namespace {

// The index range [first, last) of one class in the ordered segments.
std::pair<std::size_t, std::size_t> ClassRange(const std::vector<TSegment>& segments, std::uint8_t segmentClass) {
    auto before = [](const TSegment& s, std::uint8_t c) { return (s.Class == scCode ? 0 : 1) < (c == scCode ? 0 : 1); };
    auto after = [](std::uint8_t c, const TSegment& s) { return (c == scCode ? 0 : 1) < (s.Class == scCode ? 0 : 1); };
    auto first = std::lower_bound(segments.begin(), segments.end(), segmentClass, before);
    auto last = std::upper_bound(first, segments.end(), segmentClass, after);
    return {std::size_t(first - segments.begin()), std::size_t(last - segments.begin())};
}

bool Contains(const TSegment& s, std::uint64_t address) { return address >= s.Start && address - s.Start < s.Length; }

}  // namespace

TSegment TMapFile::SegmentAt(std::uint8_t segmentClass, std::uint64_t address) const {
    auto [first, last] = ClassRange(Segments, segmentClass);
    // The last segment starting at or before the address; segments of a
    // class never overlap, so it is the only one that can hold it.
    auto it = std::upper_bound(Segments.begin() + long(first), Segments.begin() + long(last), address,
                               [](std::uint64_t a, const TSegment& s) { return a < s.Start; });
    if (it == Segments.begin() + long(first)) return {};
    --it;
    return Contains(*it, address) ? *it : TSegment{};
}

TSegment TMapFile::SegmentAtLinear(std::uint8_t segmentClass, std::uint64_t address) const {
    for (const TSegment& s : Segments)
        if (s.Class == segmentClass && Contains(s, address)) return s;
    return {};
}

TPublic TMapFile::PublicAt(std::uint64_t address) const {
    auto it = std::upper_bound(Publics.begin(), Publics.end(), address,
                               [](std::uint64_t a, const TPublic& p) { return a < p.Address; });
    if (it == Publics.begin()) return {};
    // The next public (if any) lies above the address by construction.
    if (it == Publics.end() && CodeEnd != 0 && CodeEnd <= address) return {};
    return *(it - 1);
}

TPublic TMapFile::PublicAtLinear(std::uint64_t address) const {
    for (std::size_t i = Publics.size(); i-- > 0;) {
        if (Publics[i].Address > address) continue;
        bool bounded = i + 1 < Publics.size() ? Publics[i + 1].Address > address : (CodeEnd == 0 || CodeEnd > address);
        return bounded ? Publics[i] : TPublic{};
    }
    return {};
}

std::uint32_t TMapFile::LineAt(std::uint64_t address, std::uint64_t& nextAddress) const {
    nextAddress = address + 1;
    auto it = std::upper_bound(Lines.begin(), Lines.end(), address,
                               [](std::uint64_t a, const TLine& l) { return a < l.Address; });
    if (it == Lines.begin()) return 0;
    if (it == Lines.end() && CodeEnd != 0 && CodeEnd <= address) return 0;
    const TLine& line = *(it - 1);
    TSegment segment = SegmentAt(scCode, address);
    if (!segment.Used || line.Address < segment.Start || line.Address - segment.Start > segment.Length) return 0;
    if (it != Lines.end()) nextAddress = it->Address;
    return line.Number;
}

std::uint32_t TMapFile::LineAtLinear(std::uint64_t address, std::uint64_t& nextAddress) const {
    nextAddress = address + 1;
    for (std::size_t i = Lines.size(); i-- > 0;) {
        if (Lines[i].Address > address) continue;
        bool last = i + 1 == Lines.size();
        if (!last && Lines[i + 1].Address <= address) return 0;
        if (last && CodeEnd != 0 && CodeEnd <= address) return 0;
        TSegment segment = SegmentAtLinear(scCode, address);
        if (!segment.Used || Lines[i].Address < segment.Start || Lines[i].Address > segment.Start + segment.Length)
            return 0;
        if (!last) nextAddress = Lines[i + 1].Address;
        return Lines[i].Number;
    }
    return 0;
}

// ---------------------------------------------------------------- building

void TMapFile::AddSegment(std::uint8_t segmentClass, std::uint64_t start, std::uint32_t length, std::string unit) {
    std::size_t dot = unit.rfind('.');
    if (dot != std::string::npos) {
        std::string ext = unit.substr(dot + 1);
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == "pas" || ext == "dpr") unit.resize(dot);
    }
    int& last = lastSegment_[segmentClass == scCode ? 1 : 0];
    if (last >= 0 && std::size_t(last) < Segments.size()) {
        TSegment& s = Segments[std::size_t(last)];
        std::uint64_t end = s.Start + s.Length;
        if (s.Unit == unit && s.Start <= start && end + 2 >= start) {
            std::uint64_t newEnd = std::max(end, start + length);
            if (newEnd - s.Start <= 0xFFFFFFFFull) {
                s.Length = static_cast<std::uint32_t>(newEnd - s.Start);
                return;
            }
        }
    }
    TSegment s;
    s.Used = true;
    s.Class = segmentClass;
    s.Start = start;
    s.Length = length;
    s.Unit = std::move(unit);
    auto pos = std::upper_bound(Segments.begin(), Segments.end(), s, [](const TSegment& a, const TSegment& b) {
        int ca = a.Class == scCode ? 0 : 1, cb = b.Class == scCode ? 0 : 1;
        return ca != cb ? ca < cb : a.Start < b.Start;
    });
    std::size_t index = std::size_t(pos - Segments.begin());
    Segments.insert(pos, std::move(s));
    // Entries behind the new one moved up; so did a cursor pointing there.
    for (int& cursor : lastSegment_)
        if (cursor >= 0 && std::size_t(cursor) >= index) ++cursor;
    last = static_cast<int>(index);
}

void TMapFile::AddPublic(std::uint8_t segmentClass, std::uint64_t address, std::string name, bool fromText) {
    if (name.size() > 5 && (name[0] == '@' || name[0] == '$' || name[0] == 'x') && name[4] == '$') return;
    std::string unitPart;
    zelTools::DemangleName(name, unitPart);
    TSegment segment = SegmentAt(segmentClass, address);
    if (segment.Used) {
        if (name == segment.Unit) name = "initialization";
        else if (!unitPart.empty() && unitPart != segment.Unit) name = unitPart + "." + name;
    }
    TPublic p;
    p.Used = true;
    p.Class = segmentClass;
    p.Name = std::move(name);
    p.Address = address;
    Publics.push_back(p);
    if (!fromText) return;
    int last = lastSegment_[segmentClass == scCode ? 1 : 0];
    if (last >= 0 && std::size_t(last) < Segments.size()) {
        TSegment& s = Segments[std::size_t(last)];
        if (address > s.Start + s.Length) {
            std::uint64_t end = address;
            auto [first, lastOfClass] = ClassRange(Segments, segmentClass);
            (void)first;
            if (std::size_t(last) + 1 < lastOfClass) end = std::min(end, Segments[std::size_t(last) + 1].Start);
            if (end > s.Start && end - s.Start <= 0xFFFFFFFFull) s.Length = static_cast<std::uint32_t>(end - s.Start);
        }
        if (!segment.Used && !SegmentAt(segmentClass, address).Used && !unitPart.empty() && s.Unit != unitPart)
            AddSegment(segmentClass, address, 0, unitPart);
    }
}

void TMapFile::AddLine(std::uint32_t number, std::uint64_t address, bool ordered) {
    if (ordered && !Lines.empty() && address <= Lines.back().Address) return;
    Lines.push_back({number, address});
}

// ---------------------------------------------------------------- container

namespace {

// The cipher key comes from a fixed word and the payload's length, so no
// key text lies in the program whole.
std::string MapKey(std::uint32_t payloadLength) {
    constexpr std::uint32_t kWord = 0x5A17C3E9;
    std::string key(12, '\0');
    for (int i = 0; i < 12; ++i) {
        int shift = (i % 4) * 8;
        key[std::size_t(i)] = static_cast<char>(((kWord >> shift) ^ (payloadLength >> shift) ^ (0x35u * unsigned(i))) & 0xFF);
    }
    return key;
}

std::uint32_t Le32At(std::string_view s, std::size_t at) {
    return std::uint32_t(static_cast<unsigned char>(s[at])) | std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 8 |
           std::uint32_t(static_cast<unsigned char>(s[at + 2])) << 16 |
           std::uint32_t(static_cast<unsigned char>(s[at + 3])) << 24;
}

void PutLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutCompact(std::string& out, std::int64_t v) {
    if (v > -128 && v <= 127) {
        out += static_cast<char>(static_cast<signed char>(v));
    } else {
        out += static_cast<char>(-128);
        PutLe32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
    }
}

void PutShortText(std::string& out, const std::string& text) {
    // A short text holds at most 255 characters; longer names are cut.
    std::size_t n = std::min<std::size_t>(text.size(), 255);
    out += static_cast<char>(n);
    out.append(text, 0, n);
}

}  // namespace

bool TMapFile::LoadEncodedMap(std::string_view container) {
    Valid = false;
    if (container.size() <= 22) return false;
    if (container.substr(0, 14) != kSignature) return false;
    std::uint32_t length = Le32At(container, 14);
    if (Le32At(container, 18) != kVersion) return false;
    if (length == 0 || length > container.size() - 22) return false;
    std::string payload(container.substr(22, length));
    zelCrypt::DecryptStr(payload, MapKey(length));
    std::string plain;
    if (!zelZip::Inflate(payload, plain) || plain.empty()) return false;

    TMiniStream in(plain);
    std::uint32_t segments = in.ReadUInt32();
    // Every count is checked against the bytes left: each record needs at
    // least its fixed part.
    if (in.Failed() || segments > in.Remaining() / 9) return false;
    for (std::uint32_t i = 0; i < segments; ++i) {
        std::uint32_t start = in.ReadUInt32();
        std::uint32_t size = in.ReadUInt32();
        std::string unit = in.ReadShortText();
        if (in.Failed()) return false;
        AddSegment(scCode, CodeStart + start, size, std::move(unit));
    }
    std::uint32_t publics = in.ReadUInt32();
    if (in.Failed() || publics > in.Remaining() / 2) return false;
    std::uint64_t address = 0;
    for (std::uint32_t i = 0; i < publics; ++i) {
        std::string name = in.ReadShortText();
        if (i == 0) address = CodeStart + in.ReadUInt32();
        else address += static_cast<std::uint64_t>(static_cast<std::int64_t>(in.ReadCompactInt()));
        if (in.Failed()) return false;
        AddPublic(scCode, address, std::move(name), false);
    }
    std::uint32_t lines = in.ReadUInt32();
    if (in.Failed() || lines > in.Remaining() / 2) return false;
    if (lines >= 1) {
        std::int64_t number = in.ReadInt32();
        address = CodeStart + in.ReadUInt32();
        if (in.Failed()) return false;
        AddLine(static_cast<std::uint32_t>(number), address, false);
        for (std::uint32_t i = 1; i < lines; ++i) {
            number += in.ReadCompactInt();
            address += static_cast<std::uint64_t>(static_cast<std::int64_t>(in.ReadCompactInt()));
            if (in.Failed()) return false;
            AddLine(static_cast<std::uint32_t>(number), address, false);
        }
    }
    if (in.Remaining() == 4) EntryPoint = CodeStart + in.ReadUInt32();
    // Damaged data can still parse; the searches rely on the order.
    if (!std::is_sorted(Publics.begin(), Publics.end(),
                        [](const TPublic& a, const TPublic& b) { return a.Address < b.Address; }) ||
        !std::is_sorted(Lines.begin(), Lines.end(), [](const TLine& a, const TLine& b) { return a.Address < b.Address; }))
        return false;
    for (std::size_t i = 1; i < Segments.size(); ++i)
        if (Segments[i].Class == Segments[i - 1].Class && Segments[i - 1].Start + Segments[i - 1].Length > Segments[i].Start)
            return false;
    Valid = true;
    return true;
}

std::string EncodeMap(const TMapFile& map) {
    std::string plain;
    std::vector<const TSegment*> code;
    for (const TSegment& s : map.Segments)
        if (s.Class == scCode) code.push_back(&s);
    PutLe32(plain, static_cast<std::uint32_t>(code.size()));
    for (const TSegment* s : code) {
        PutLe32(plain, static_cast<std::uint32_t>(s->Start - map.CodeStart));
        PutLe32(plain, s->Length);
        PutShortText(plain, s->Unit);
    }
    PutLe32(plain, static_cast<std::uint32_t>(map.Publics.size()));
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < map.Publics.size(); ++i) {
        PutShortText(plain, map.Publics[i].Name);
        if (i == 0) PutLe32(plain, static_cast<std::uint32_t>(map.Publics[i].Address - map.CodeStart));
        else PutCompact(plain, static_cast<std::int64_t>(map.Publics[i].Address - previous));
        previous = map.Publics[i].Address;
    }
    PutLe32(plain, static_cast<std::uint32_t>(map.Lines.size()));
    for (std::size_t i = 0; i < map.Lines.size(); ++i) {
        const TLine& l = map.Lines[i];
        if (i == 0) {
            PutLe32(plain, l.Number);
            PutLe32(plain, static_cast<std::uint32_t>(l.Address - map.CodeStart));
        } else {
            PutCompact(plain, std::int64_t(l.Number) - std::int64_t(map.Lines[i - 1].Number));
            PutCompact(plain, static_cast<std::int64_t>(l.Address - map.Lines[i - 1].Address));
        }
    }
    if (map.EntryPoint >= map.CodeStart && map.EntryPoint != 0)
        PutLe32(plain, static_cast<std::uint32_t>(map.EntryPoint - map.CodeStart));
    return EncodeContainer(plain);
}

std::string EncodeContainer(const std::string& payloadText) {
    std::string plain = payloadText;
    // The compressed container of the crash library's inflater.
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string packed(deflateBound(&z, plain.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = static_cast<uInt>(packed.size());
    deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    std::string payload;
    PutLe32(payload, static_cast<std::uint32_t>(plain.size()));
    PutLe32(payload, 0);
    PutLe32(payload, zelZip::Crc32(plain.data(), plain.size()));
    payload += packed;
    std::uint32_t length = static_cast<std::uint32_t>(payload.size());
    zelCrypt::EncryptStr(payload, MapKey(length));

    std::string container(kSignature);
    PutLe32(container, length);
    PutLe32(container, kVersion);
    return container + payload;
}

// ---------------------------------------------------------------- map text

namespace {

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool HexField(std::string_view s, std::size_t at, std::size_t digits, std::uint64_t& value) {
    if (at + digits > s.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        char c = s[at + i];
        if (!IsHex(c)) return false;
        value = value * 16 + std::uint64_t(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    }
    return true;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

}  // namespace

bool TMapFile::ParseMapText(std::string_view text) {
    enum class Section { None, Segments, Publics, Lines } section = Section::None;
    bool started = false;  // a section's first non-empty line was met
    bool any = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::size_t lead = line.find_first_not_of(' ');
        line = lead == std::string_view::npos ? std::string_view() : line.substr(lead);

        if (line.find("Detailed map of segments") != std::string_view::npos) {
            section = Section::Segments;
            started = false;
            continue;
        }
        if (line.find("Publics by Value") != std::string_view::npos) {
            section = Section::Publics;
            started = false;
            continue;
        }
        std::size_t lf = line.find("Line numbers for ");
        if (lf != std::string_view::npos) {
            std::size_t open = line.find('(', lf);
            if (open != std::string_view::npos && line.find(')', open) != std::string_view::npos) {
                section = Section::Lines;
                started = false;
                continue;
            }
        }
        std::size_t ep = line.find("Program entry point at ");
        if (ep != std::string_view::npos) {
            std::uint64_t offset = 0;
            if (line.size() >= 35 && line[27] == ':' && HexField(line, 28, 8, offset)) EntryPoint = CodeStart + offset;
            section = Section::None;
            continue;
        }
        if (line.empty()) {
            if (started) section = Section::None;
            continue;
        }
        started = true;
        std::uint64_t number = 0, start = 0, length = 0;
        switch (section) {
        case Section::None: break;
        case Section::Segments: {
            if (line.size() <= 72 || line[4] != ':' || line[13] != ' ' || line[22] != ' ' || line[23] != 'C' ||
                line[24] != '=')
                break;
            if (!HexField(line, 0, 4, number) || (number != 1 && number != 2)) break;
            if (!HexField(line, 5, 8, start) || !HexField(line, 14, 8, length)) break;
            // The unit is the value of the next-to-last field.
            std::size_t e = line.find_last_not_of(' ');
            std::size_t wordStart = line.find_last_of(' ', e);
            if (wordStart == std::string_view::npos) break;
            std::size_t unitEnd = line.find_last_not_of(' ', wordStart);
            if (unitEnd == std::string_view::npos) break;
            std::size_t eq = line.rfind('=', unitEnd);
            if (eq == std::string_view::npos) break;
            std::uint8_t cls = number == 1 ? scCode : scData;
            AddSegment(cls, (cls == scCode ? CodeStart : DataStart) + start, static_cast<std::uint32_t>(length),
                       std::string(line.substr(eq + 1, unitEnd - eq)));
            any = true;
            break;
        }
        case Section::Publics: {
            if (line.size() < 14 || line[4] != ':') break;
            if (!HexField(line, 0, 4, number) || (number != 1 && number != 2)) break;
            if (!HexField(line, 5, 8, start)) break;
            // The name is the rest of the line: names of this program's
            // language hold blanks ("f(int, char)"); a note in parentheses
            // set off by a blank is not part of it.
            std::string_view name = line.substr(13);
            std::size_t n = name.find_first_not_of(' ');
            if (n == std::string_view::npos) break;
            name = name.substr(n);
            while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
            if (!name.empty() && name.back() == ')') {
                // The parenthesis that closes at the end: a note when a
                // blank comes before it, a parameter list when a name does.
                int depth = 0;
                std::size_t open = name.size();
                while (open-- > 0) {
                    if (name[open] == ')') ++depth;
                    else if (name[open] == '(' && --depth == 0) break;
                }
                if (open < name.size() && open > 0 && name[open - 1] == ' ') {
                    name = name.substr(0, open);
                    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
                }
            }
            if (name.empty()) break;
            std::uint8_t cls = number == 1 ? scCode : scData;
            AddPublic(cls, (cls == scCode ? CodeStart : DataStart) + start, std::string(name), true);
            any = true;
            break;
        }
        case Section::Lines: {
            // Groups of "line 0001:offset".
            std::size_t at = 0;
            while (at < line.size()) {
                std::size_t colon = line.find(':', at);
                if (colon == std::string_view::npos) break;
                if (colon < 5 || line[colon - 5] != ' ') break;
                std::uint64_t seg = 0, offset = 0;
                if (!HexField(line, colon - 4, 4, seg) || !HexField(line, colon + 1, 8, offset)) break;
                std::string_view num = line.substr(at, colon - 5 - at);
                std::size_t d = num.find_first_not_of(' ');
                if (d == std::string_view::npos) break;
                num = num.substr(d);
                std::uint64_t value = 0;
                bool ok = !num.empty() && num.size() <= 9;
                for (char c : num) {
                    if (!std::isdigit(static_cast<unsigned char>(c))) ok = false;
                    value = value * 10 + std::uint64_t(c - '0');
                }
                if (!ok) break;
                if (seg == 1) AddLine(static_cast<std::uint32_t>(value), CodeStart + offset, true);
                any = true;
                at = colon + 9;
            }
            break;
        }
        }
    }
    std::stable_sort(Publics.begin(), Publics.end(),
                     [](const TPublic& a, const TPublic& b) { return a.Address < b.Address; });
    Valid = any;
    return Valid;
}

std::string MapText(const TMapFile& map, const std::string& moduleName) {
    std::string out;
    auto line = [&out](const std::string& s) { out += s + "\r\n"; };
    line("");
    line(" Start         Length     Name                   Class");
    line(Printf(" 0001:00000000 %08XH .text                   CODE",
                static_cast<unsigned>(map.CodeEnd > map.CodeStart ? map.CodeEnd - map.CodeStart : 0)));
    line("");
    line("");
    line("Detailed map of segments");
    line("");
    for (const TSegment& s : map.Segments) {
        if (s.Class != scCode) continue;
        std::string unit = s.Unit;
        if (unit.size() < 12) unit.resize(12, ' ');
        line(Printf(" 0001:%08X %08X C=CODE     S=.text    G=(none)   M=", static_cast<unsigned>(s.Start - map.CodeStart),
                    s.Length) +
             unit + " ACBP=A9");
    }
    line("");
    line("");
    line("  Address         Publics by Value");
    line("");
    for (const TPublic& p : map.Publics)
        line(Printf(" 0001:%08X       ", static_cast<unsigned>(p.Address - map.CodeStart)) + p.Name);
    line("");
    // One block of line numbers per segment, in address order, so the
    // reader meets them ascending.
    std::size_t next = 0;
    for (const TSegment& s : map.Segments) {
        if (s.Class != scCode) continue;
        while (next < map.Lines.size() && map.Lines[next].Address < s.Start) ++next;
        if (next >= map.Lines.size() || map.Lines[next].Address - s.Start >= s.Length) continue;
        line("Line numbers for " + s.Unit + "(" + s.Unit + ") segment .text");
        line("");
        std::string rows;
        int inRow = 0;
        while (next < map.Lines.size() && map.Lines[next].Address - s.Start < s.Length) {
            rows += Printf("%6u 0001:%08X", map.Lines[next].Number,
                           static_cast<unsigned>(map.Lines[next].Address - map.CodeStart));
            if (++inRow == 4) {
                line(rows);
                rows.clear();
                inRow = 0;
            }
            ++next;
        }
        if (!rows.empty()) line(rows);
        line("");
    }
    if (map.EntryPoint >= map.CodeStart && map.EntryPoint != 0)
        line(Printf("Program entry point at 0001:%08X", static_cast<unsigned>(map.EntryPoint - map.CodeStart)));
    (void)moduleName;
    return out;
}

// ---------------------------------------------------------------- sources

namespace {

std::string ReadWhole(const std::string& path, bool& ok) {
    std::ifstream f(path, std::ios::binary);
    ok = static_cast<bool>(f);
    if (!ok) return {};
    std::ostringstream s;
    s << f.rdbuf();
    ok = !f.bad();
    return s.str();
}

// The module's file name up to its extension (the last dot of the last
// path component), to which ".map" or ".zel" is added.
std::string Stem(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

bool LoadMapFiles(TMapFile& map) {
    std::string stem = Stem(map.ModuleFileName);
    bool ok = false;
    std::string text = ReadWhole(stem + ".map", ok);
    if (ok && map.ParseMapText(text)) {
        map.SourceFileName = stem + ".map";
        return true;
    }
    std::string encoded = ReadWhole(stem + ".zel", ok);
    if (ok && map.LoadEncodedMap(encoded)) {
        map.SourceFileName = stem + ".zel";
        return true;
    }
    return false;
}

std::string FileBuildId(const std::string& path);

}  // namespace

std::unique_ptr<TMapFile> TMapFile::ForModule(const TModuleBounds& bounds, const std::string& moduleFileName) {
    auto map = std::make_unique<TMapFile>(bounds, moduleFileName);
    if (moduleFileName.empty()) return map;
    // A file that is not the loaded module any more (rebuilt or replaced
    // since it was loaded) says nothing about the code in memory.
    if (!bounds.BuildId.empty() && FileBuildId(moduleFileName) != bounds.BuildId) return map;
    if (bounds.Handle != 0 || bounds.CodeStart != 0) {
        std::string section = ElfSection(moduleFileName, kSectionName);
        if (!section.empty()) {
            TMapFile encoded(bounds, moduleFileName);
            if (encoded.LoadEncodedMap(section)) {
                *map = std::move(encoded);
                return map;
            }
        }
        TMapFile fromElf(bounds, moduleFileName);
        if (LoadFromElf(fromElf, moduleFileName, bounds.Handle)) {
            *map = std::move(fromElf);
            return map;
        }
    }
    LoadMapFiles(*map);
    return map;
}

namespace {

std::string FileBuildId(const std::string& path) {
    std::string notes = ElfSection(path, ".note.gnu.build-id");
    // namesz, descsz, type, "GNU\0", id
    if (notes.size() < 16) return {};
    std::uint32_t namesz = Le32At(notes, 0), descsz = Le32At(notes, 4);
    std::size_t at = 12 + ((namesz + 3) & ~3u);
    if (at > notes.size() || descsz > notes.size() - at) return {};
    return notes.substr(at, descsz);
}

}  // namespace

// ---------------------------------------------------------------- modules

namespace {

struct ModuleSearch {
    std::uint64_t address = 0;
    bool wantMain = false;
    bool found = false;
    TModuleBounds bounds;
    std::string name;
};

int FindModule(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ModuleSearch*>(data);
    bool isMain = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
    bool hit = search->wantMain && isMain;
    for (int i = 0; i < info->dlpi_phnum && !hit; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        std::uint64_t start = info->dlpi_addr + ph.p_vaddr;
        if (search->address >= start && search->address - start < ph.p_memsz) hit = true;
    }
    if (!hit) return 0;
    TModuleBounds b;
    b.Handle = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        std::uint64_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && b.CodeStart == 0) {
            b.CodeStart = start;
            b.CodeEnd = start + ph.p_memsz;
        } else if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W)) {
            if (b.DataStart == 0) b.DataStart = start;
            b.DataEnd = std::max<std::uint64_t>(b.DataEnd, start + ph.p_memsz);
        } else if (ph.p_type == PT_NOTE && b.BuildId.empty()) {
            // The loaded notes: the build id of the code actually in memory.
            const unsigned char* p = reinterpret_cast<const unsigned char*>(start);
            std::size_t left = ph.p_memsz;
            while (left >= 12) {
                std::uint32_t namesz, descsz, type;
                std::memcpy(&namesz, p, 4);
                std::memcpy(&descsz, p + 4, 4);
                std::memcpy(&type, p + 8, 4);
                std::size_t nameBytes = (namesz + 3) & ~std::size_t(3), descBytes = (descsz + 3) & ~std::size_t(3);
                if (12 + nameBytes > left || descBytes > left - 12 - nameBytes) break;
                if (type == 3 && namesz == 4 && std::memcmp(p + 12, "GNU", 4) == 0) {
                    b.BuildId.assign(reinterpret_cast<const char*>(p + 12 + nameBytes), descsz);
                    break;
                }
                p += 12 + nameBytes + descBytes;
                left -= 12 + nameBytes + descBytes;
            }
        }
    }
    search->bounds = b;
    if (isMain) {
        char path[4096];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        search->name = n > 0 ? std::string(path, std::size_t(n)) : std::string();
    } else {
        search->name = info->dlpi_name;
    }
    search->found = true;
    return 1;
}

std::int64_t FileTime(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

struct CacheEntry {
    std::int64_t time = 0;
    std::string buildId;
    std::shared_ptr<const TMapFile> map;
};

// The lock only keeps two walkers from building the same map at once; a
// walker that cannot get it in time (its holder may be the thread being
// reported) builds an uncached map instead of waiting for ever.
std::timed_mutex cacheLock;
std::vector<CacheEntry> cache;

}  // namespace

bool ModuleOf(std::uint64_t address, TModuleBounds& bounds, std::string& fileName) {
    ModuleSearch search;
    search.address = address;
    search.wantMain = address == 0;
    dl_iterate_phdr(FindModule, &search);
    if (!search.found) return false;
    bounds = search.bounds;
    fileName = search.name;
    return true;
}

std::shared_ptr<const TMapFile> MapForAddress(std::uint64_t address) {
    TModuleBounds bounds;
    std::string name;
    if (!ModuleOf(address, bounds, name)) return std::make_shared<TMapFile>();
    std::unique_lock lock(cacheLock, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::seconds(2))) return TMapFile::ForModule(bounds, name);
    std::int64_t time = FileTime(name);
    for (CacheEntry& entry : cache) {
        if (entry.map->ModuleFileName != name) continue;
        if (entry.time == time && entry.buildId == bounds.BuildId && entry.map->ModuleHandle == bounds.Handle)
            return entry.map;
        // Replaced on disk or loaded anew: read it again. Walks that still
        // hold the old map keep it alive.
        entry = cache.back();
        cache.pop_back();
        break;
    }
    std::shared_ptr<const TMapFile> map = TMapFile::ForModule(bounds, name);
    if (map->Valid) cache.push_back({time, bounds.BuildId, map});
    return map;
}

void ClearCache() {
    std::lock_guard lock(cacheLock);
    cache.clear();
}

bool LookupAddress(std::uint64_t address, std::string& moduleName, std::string& unitName, std::uint32_t& lineNumber,
                   std::uint64_t& publicAddress, std::string& publicName) {
    moduleName.clear();
    unitName.clear();
    publicName.clear();
    lineNumber = 0;
    publicAddress = 0;
    if (address == 0) return false;
    std::shared_ptr<const TMapFile> map = MapForAddress(address);
    if (!map->Valid) return false;
    moduleName = map->ModuleFileName;
    unitName = map->SegmentAt(scCode, address).Unit;
    TPublic p = map->PublicAt(address);
    if (p.Used) {
        publicName = p.Name;
        publicAddress = p.Address;
    }
    std::uint64_t next = 0;
    lineNumber = map->LineAt(address, next);
    return true;
}

std::string PublicNameAt(std::uint64_t address) {
    if (address == 0) return {};
    std::shared_ptr<const TMapFile> map = MapForAddress(address);
    TPublic p = map->PublicAt(address);
    return p.Used && p.Address == address ? p.Name : std::string();
}

void CachedLineAt(std::uint64_t address, std::uint32_t& line, std::uint64_t& fromAddress, std::uint64_t& toAddress) {
    if (address == 0) return;
    if (line != 0 && fromAddress <= address && address < toAddress) return;
    std::shared_ptr<const TMapFile> map = MapForAddress(address);
    line = map->LineAt(address, toAddress);
    fromAddress = address;
}

}  // namespace zelMapFile
