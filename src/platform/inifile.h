// Settings-file access with the semantics of the classic Windows profile
// functions: case-insensitive sections and keys, the first occurrence wins,
// values trimmed and stripped of one pair of surrounding quotes, one line per
// value. Nothing is cached: every call opens the file, and every write
// replaces it atomically (temp file, fsync, rename), keeping foreign
// sections, comments and order.
#pragma once

#include <string>
#include <vector>

namespace platform {

class Env;
struct FsStatus;

// One value to set with IniFile::WriteValues.
struct IniValue {
    std::string section, key, value;
};

class IniFile {
public:
    explicit IniFile(std::string path);

    const std::string& FileName() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Decimal, or hex as "$1F" / "0x1F"; anything else (or out of range) gives def.
    long long ReadInt64(const std::string& section, const std::string& key, long long def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    // A number other than 0 is true; a value that is not a number gives def.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // Return false when the file could not be written (the old file stays whole).
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    bool WriteInteger(const std::string& section, const std::string& key, long long value);
    bool WriteBool(const std::string& section, const std::string& key, bool value);
    // Sets the values in order, each as WriteString would, and replaces the
    // file once through env: the file ends exactly as after the single
    // writes, or stays as it was.
    FsStatus WriteValues(const std::vector<IniValue>& values, Env& env);

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadSection(const std::string& section) const;  // key names
    // "key=value" lines of a section, values as ReadString gives them.
    std::vector<std::pair<std::string, std::string>> ReadSectionValues(const std::string& section) const;

    bool EraseSection(const std::string& section);
    bool DeleteKey(const std::string& section, const std::string& key);

    // Why a file that exists cannot be a settings file: "it is empty", "it
    // holds NUL bytes", "it holds no settings" (no "[section]" with a
    // "key=value" line), or "it cannot be read". Empty text for a usable file
    // and for one that does not exist (a new home).
    std::string Problem() const;
    // Problem()'s text for NUL bytes: unlike the others, such a file is
    // still read (a line that holds one may not read as written).
    static constexpr const char* kHoldsNulBytes = "it holds NUL bytes";

private:
    std::string path_;
};

// Replaces CR, LF and NUL by blanks so a value or name can never become
// several lines of the file.
std::string IniSafe(const std::string& text);


// The line rules of the profile format, for readers that keep a file parsed.
namespace inisyntax {
// Blanks and tabs cut at both ends, a CR at the end too.
std::string Trim(const std::string& s);
// A section header line gives its name (trimmed); other lines give false.
bool SectionName(const std::string& line, std::string& name);
// A "key=value" line (not a comment) gives both, trimmed.
bool KeyLine(const std::string& line, std::string& key, std::string& value);
// A value in matching double or single quotes loses them.
std::string Unquote(const std::string& v);
}  // namespace inisyntax

}  // namespace platform
