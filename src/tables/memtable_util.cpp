// Value helpers of the table: the variant, dates, the text collation, the
// key compare of two field values, number and date texts, and crash-safe
// file writing. None of it depends on the machine's locale.
#include "memtable_internal.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// TvdlVariant
// ---------------------------------------------------------------------------

TvdlVariant TvdlVariant::Array(std::vector<TvdlVariant> items) {
    TvdlVariant v;
    v.kind_ = vkArray;
    v.items_ = std::move(items);
    return v;
}

std::string TvdlVariant::AsString() const {
    switch (kind_) {
    case vkNull: return "";
    case vkBool: return i_ ? "True" : "False";
    case vkInt: return std::to_string(i_);
    case vkFloat: return memtable::FormatFloat(f_);
    case vkString: return s_;
    case vkArray: return "";
    }
    return "";
}

std::int64_t TvdlVariant::AsInt64() const {
    switch (kind_) {
    case vkBool:
    case vkInt: return i_;
    case vkFloat: return static_cast<std::int64_t>(std::llround(f_));
    case vkString: {
        std::int64_t v = 0;
        if (!memtable::ParseInt(s_, v)) throw EDatabaseError("'" + s_ + "' is not a valid integer value");
        return v;
    }
    default: return 0;
    }
}

bool TvdlVariant::AsBool() const {
    switch (kind_) {
    case vkBool:
    case vkInt: return i_ != 0;
    case vkFloat: return f_ != 0;
    case vkString: return memtable::SameText(s_, "True");
    default: return false;
    }
}

double TvdlVariant::AsFloat() const {
    switch (kind_) {
    case vkBool:
    case vkInt: return static_cast<double>(i_);
    case vkFloat: return f_;
    case vkString: {
        double v = 0;
        if (!memtable::ParseFloat(s_, v)) throw EDatabaseError("'" + s_ + "' is not a valid floating point value");
        return v;
    }
    default: return 0;
    }
}

bool TvdlVariant::operator==(const TvdlVariant& o) const {
    if (kind_ != o.kind_) return false;
    switch (kind_) {
    case vkNull: return true;
    case vkBool:
    case vkInt: return i_ == o.i_;
    case vkFloat: return f_ == o.f_;
    case vkString: return s_ == o.s_;
    case vkArray: return items_ == o.items_;
    }
    return false;
}

namespace memtable {

// ---------------------------------------------------------------------------
// Dates: days since 30 December 1899 (proleptic Gregorian calendar).
// ---------------------------------------------------------------------------

static bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
static int DaysInMonth(int y, int m) {
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : d[m - 1];
}

// Days from 1 January 0001 to the given date (that day = 0).
static std::int64_t DayIndex(int y, int m, int d) {
    std::int64_t yy = y - 1;
    std::int64_t days = yy * 365 + yy / 4 - yy / 100 + yy / 400;
    for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
    return days + d - 1;
}

TDateTime EncodeDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        throw EMemTableError("Invalid argument to date encode");
    return static_cast<double>(DayIndex(year, month, day) + 1 - kDateDelta);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        millisecond < 0 || millisecond > 999)
        throw EMemTableError("Invalid argument to time encode");
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMsPerDay;
}

// Splits a date-time into whole days and milliseconds of the day, rounding
// to the millisecond the way the stored forms do.
static void SplitDateTime(double v, std::int64_t& days, std::int64_t& ms) {
    double total = std::round(v * kMsPerDay);
    if (!std::isfinite(total) || std::fabs(total) > 9e17) total = 0;
    std::int64_t t = static_cast<std::int64_t>(total);
    days = t / kMsPerDay;
    ms = t % kMsPerDay;
    if (ms < 0) {  // before 1899: the fraction still counts forward
        ms = -ms;
    }
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    std::int64_t days, ms;
    SplitDateTime(value, days, ms);
    std::int64_t n = days + kDateDelta - 1;  // days since 0001-01-01
    if (n < 0) { year = month = day = 0; return; }
    std::int64_t y400 = n / 146097; n %= 146097;
    std::int64_t y100 = n / 36524; if (y100 == 4) y100 = 3; n -= y100 * 36524;
    std::int64_t y4 = n / 1461; n %= 1461;
    std::int64_t y1 = n / 365; if (y1 == 4) y1 = 3; n -= y1 * 365;
    year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
    month = 1;
    while (n >= DaysInMonth(year, month)) { n -= DaysInMonth(year, month); ++month; }
    day = static_cast<int>(n) + 1;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
    std::int64_t days, ms;
    SplitDateTime(value, days, ms);
    hour = static_cast<int>(ms / 3600000);
    minute = static_cast<int>(ms / 60000 % 60);
    second = static_cast<int>(ms / 1000 % 60);
    millisecond = static_cast<int>(ms % 1000);
}

// ---------------------------------------------------------------------------
// Collation
// ---------------------------------------------------------------------------

static inline unsigned char FoldLatin1(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
    return c;
}
static inline bool IsUpperLatin1(unsigned char c) { return FoldLatin1(c) != c; }
static inline int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int AnsiCompareText(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = FoldLatin1(static_cast<unsigned char>(a[i]));
        unsigned char y = FoldLatin1(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

int AnsiCompareStr(const std::string& a, const std::string& b) {
    int r = AnsiCompareText(a, b);
    if (r != 0) return r;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return IsUpperLatin1(static_cast<unsigned char>(a[i])) ? 1 : -1;
    }
    return 0;
}

int CompareStr(const std::string& a, const std::string& b) { return Sign(a.compare(b)); }

int CompareText(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::string Fmt(const char* pattern, const std::string& arg) {
    std::string s = pattern;
    size_t p = s.find("%s");
    if (p == std::string::npos) p = s.find("%d");
    if (p != std::string::npos) s.replace(p, 2, arg);
    return s;
}

std::string UpperCase(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

bool SameText(const std::string& a, const std::string& b) { return CompareText(a, b) == 0; }

std::vector<std::string> SplitFieldNames(const std::string& names) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : names) {
        if (c == ';') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    for (auto& n : out) {
        size_t b = n.find_first_not_of(" \t");
        size_t e = n.find_last_not_of(" \t");
        n = b == std::string::npos ? std::string() : n.substr(b, e - b + 1);
    }
    if (out.size() == 1 && out[0].empty()) out.clear();
    return out;
}

// ---------------------------------------------------------------------------
// Types
// ---------------------------------------------------------------------------

static const char* const kTypeNames[FieldTypeCount] = {
    "Unknown", "String", "SmallInt", "Integer", "Word", "Boolean", "Float", "Currency", "BCD",
    "Date", "Time", "DateTime", "Bytes", "VarBytes", "AutoInc", "Blob", "Memo", "Graphic",
    "FmtMemo", "ParadoxOle", "dBaseOle", "TypedBinary", "Cursor", "FixedChar", "WideString",
    "LargeInt", "ADT", "Array", "Reference", "DataSet", "OraBlob", "OraClob", "Variant",
    "Interface", "Dispatch", "Guid"};

const char* FieldTypeName(TFieldType type) {
    int t = static_cast<int>(type);
    return t >= 0 && t < FieldTypeCount ? kTypeNames[t] : "Unknown";
}

bool FieldTypeSupported(TFieldType type) {
    int t = static_cast<int>(type);
    return (t >= 1 && t <= 21) || t == 23 || t == 25 || t == 26 || t == 27;
}

bool IsBlobType(TFieldType type) { return type >= ftBlob && type <= ftTypedBinary; }

Storage StorageOf(TFieldType type) {
    switch (type) {
    case ftString: case ftFixedChar: case ftWideString: case ftBytes: case ftVarBytes:
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle:
    case ftDBaseOle: case ftTypedBinary: case ftGuid:
        return stText;
    case ftSmallint: case ftInteger: case ftWord: case ftBoolean: case ftAutoInc:
    case ftLargeint: case ftDate: case ftTime: case ftCurrency: case ftBCD:
        return stInt;
    case ftFloat: case ftDateTime:
        return stFloat;
    default:
        return stNone;
    }
}

// Key compare of two present values (A = the key, B = the record).
// Integers compare at full width: a difference can overflow.
int CompareCells(TFieldType type, const Cell& a, const Cell& b, TvdlMemTableCompareOptions opts) {
    switch (type) {
    case ftString: case ftFixedChar: case ftWideString: {
        const std::string* bs = &b.s;
        std::string cut;
        if ((opts & mtcoPartialKey) && b.s.size() > a.s.size()) {
            cut = b.s.substr(0, a.s.size());
            bs = &cut;
        }
        bool ci = opts & mtcoCaseInsensitive;
        if (opts & mtcoIgnoreLocale) return ci ? CompareText(a.s, *bs) : CompareStr(a.s, *bs);
        return ci ? AnsiCompareText(a.s, *bs) : AnsiCompareStr(a.s, *bs);
    }
    case ftSmallint: case ftWord: case ftInteger: case ftAutoInc: case ftLargeint:
    case ftDate: case ftTime: case ftCurrency: case ftBCD:
        return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
    case ftBoolean: {
        bool x = a.i != 0, y = b.i != 0;
        return x == y ? 0 : x ? 1 : -1;
    }
    case ftFloat: case ftDateTime:
        return a.f < b.f ? -1 : a.f == b.f ? 0 : 1;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Texts of numbers and dates
// ---------------------------------------------------------------------------

std::string FormatFloat(double v) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15G", v);
    std::string s = buf;
    // "1E+20" -> "1E20", "1E-05" -> "1E-5"
    size_t e = s.find('E');
    if (e != std::string::npos) {
        std::string mant = s.substr(0, e), ex = s.substr(e + 1);
        bool neg = !ex.empty() && ex[0] == '-';
        if (!ex.empty() && (ex[0] == '+' || ex[0] == '-')) ex = ex.substr(1);
        while (ex.size() > 1 && ex[0] == '0') ex = ex.substr(1);
        s = mant + "E" + (neg ? "-" : "") + ex;
    }
    return s;
}

static std::string Two(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", v % 100);
    return b;
}

std::string FormatDateTime(TFieldType type, double v) {
    int y, mo, d, h, mi, s, ms;
    DecodeDate(v, y, mo, d);
    DecodeTime(v, h, mi, s, ms);
    char date[32];
    std::snprintf(date, sizeof date, "%02d/%02d/%04d", d, mo, y);
    std::string time = Two(h) + ":" + Two(mi) + ":" + Two(s);
    if (type == ftDate) return date;
    if (type == ftTime) return time;
    if (h == 0 && mi == 0 && s == 0 && ms == 0) return date;
    return std::string(date) + " " + time;
}

static std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& text, std::int64_t& value) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

bool ParseFloat(const std::string& text, double& value) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    for (char c : t)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
              c == 'e' || c == 'E'))
            return false;
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

// Reads the numbers of a text as separated by any non-digit.
static std::vector<int> Numbers(const std::string& s, bool& ok) {
    std::vector<int> out;
    ok = true;
    size_t i = 0;
    while (i < s.size()) {
        if (std::isdigit(static_cast<unsigned char>(s[i]))) {
            long v = 0;
            size_t n = 0;
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
                if (++n > 9) { ok = false; return out; }
                v = v * 10 + (s[i] - '0');
                ++i;
            }
            out.push_back(static_cast<int>(v));
        } else {
            ++i;
        }
    }
    return out;
}

// "dd/mm/yyyy", "dd/mm/yyyy hh:nn[:ss[.zzz]]", "yyyy-mm-dd[ hh:nn:ss]" or
// "hh:nn[:ss]".
bool ParseDateTime(const std::string& text, double& value) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    for (char c : t)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == ':' ||
              c == ' ' || c == '.' || c == 'T'))
            return false;
    std::string datePart, timePart;
    size_t sp = t.find_first_of(" T");
    bool hasDate = t.find_first_of("/-") != std::string::npos &&
                   (sp == std::string::npos || t.find_first_of("/-") < sp);
    if (hasDate) {
        datePart = sp == std::string::npos ? t : t.substr(0, sp);
        timePart = sp == std::string::npos ? "" : Trim(t.substr(sp + 1));
    } else {
        timePart = t;
    }
    bool ok = true;
    double result = 0;
    try {
        if (!datePart.empty()) {
            std::vector<int> n = Numbers(datePart, ok);
            if (!ok || n.size() != 3) return false;
            if (datePart.find('-') != std::string::npos)
                result = EncodeDate(n[0], n[1], n[2]);
            else
                result = EncodeDate(n[2], n[1], n[0]);
        }
        if (!timePart.empty()) {
            if (timePart.find(':') == std::string::npos) return false;
            std::vector<int> n = Numbers(timePart, ok);
            if (!ok || n.size() < 2 || n.size() > 4) return false;
            double tm = EncodeTime(n[0], n[1], n.size() > 2 ? n[2] : 0, n.size() > 3 ? n[3] : 0);
            result += result < 0 ? -tm : tm;
        }
    } catch (const EMemTableError&) {
        return false;
    }
    value = result;
    return true;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

static std::string ErrnoText(const std::string& what, const std::string& path) {
    return what + " \"" + path + "\": " + std::strerror(errno);
}

void WriteFileAtomic(const std::string& path, const std::string& data) {
    std::string dir = ".";
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
    std::string tmp = path + ".tmp" + std::to_string(::getpid());
    // Tables hold passwords: owner only, whatever the umask.
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw EMemTableError(ErrnoText("Cannot create file", tmp));
    ::fchmod(fd, 0600);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::string msg = ErrnoText("Cannot write file", tmp);
            ::close(fd);
            ::unlink(tmp.c_str());
            throw EMemTableError(msg);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        std::string msg = ErrnoText("Cannot write file", tmp);
        ::unlink(tmp.c_str());
        throw EMemTableError(msg);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        std::string msg = ErrnoText("Cannot replace file", path);
        ::unlink(tmp.c_str());
        throw EMemTableError(msg);
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

std::string ReadWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EMemTableError(ErrnoText("Cannot open file", path));
    std::string data;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::string msg = ErrnoText("Cannot read file", path);
            ::close(fd);
            throw EMemTableError(msg);
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

}  // namespace memtable
