// Settings-file semantics: what every subsystem's settings rely on.
#include "platform/inifile.h"
#include "platform/env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

using platform::IniFile;

namespace {

const char* kSample =
    "; written by hand\r\n"
    "[General]\r\n"
    "LogSize = 5000 \r\n"
    "Logging1=1\r\n"
    "Name=\"  quoted value \"\r\n"
    "Single='x'\r\n"
    "Mixed=\"x'\r\n"
    "Lone=\"\r\n"
    "Empty=\r\n"
    "Equation=a=b\r\n"
    "logsize=9999\r\n"
    "NoEquals\r\n"
    "=orphan\r\n"
    "\r\n"
    "[ SMTP ] ; trailing comment\r\n"
    "Localport=2525\r\n"
    "Hex=$1F\r\n"
    "CHex=0x1f\r\n"
    "Neg=-12\r\n"
    "Big=3000000000\r\n"
    "Junk=12abc\r\n"
    "Min=-9223372036854775808\r\n"
    "TooBig=9223372036854775808\r\n"
    "[general]\r\n"
    "LogSize=1\r\n"
    "Late=only in the second copy\r\n"
    "[Foreign]\r\n"
    "Keep=me\r\n";

class IniTest : public ::testing::Test {
protected:
    void SetUp() override { dir.Write("tarnwick.ini", kSample); }
    twtest::TempDir dir;
    IniFile ini{dir / "tarnwick.ini"};
};

TEST_F(IniTest, ReadsWithProfileSemantics) {
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"General", "LogSize", "5000"},          // trimmed
        {"GENERAL", "logsize", "5000"},          // case-insensitive, first occurrence wins
        {"general", "Name", "  quoted value "},  // one pair of quotes stripped, inside kept
        {"General", "Single", "x"},
        {"General", "Mixed", "\"x'"},            // quotes that do not match stay
        {"General", "Lone", "\""},
        {"General", "Empty", ""},                // present but empty: not the default
        {"General", "Equation", "a=b"},          // the first "=" splits
        {"General", "NoEquals", "def"},
        {"General", "", "def"},
        {"General", "Late", "def"},              // only the first section of a name counts
        {"smtp", "LocalPort", "2525"},           // blanks inside the brackets ignored
        {"Missing", "Key", "def"},
        {"Foreign", "Keep", "me"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ini.ReadString(c.section, c.key, "def"), c.expected) << c.section << "/" << c.key;
}

TEST_F(IniTest, ReadsNumbers) {
    struct Case {
        const char* key;
        long long int64;
        int integer;
    };
    const Case cases[] = {
        {"Localport", 2525, 2525}, {"Hex", 31, 31},   {"CHex", 31, 31},   {"Neg", -12, -12},
        {"Big", 3000000000LL, -7},  // fits 64 bits, not 32: the default
        {"Junk", -7, -7},           {"Missing", -7, -7},
        {"Min", INT64_MIN, -7},     {"TooBig", -7, -7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ini.ReadInt64("SMTP", c.key, -7), c.int64) << c.key;
        EXPECT_EQ(ini.ReadInteger("SMTP", c.key, -7), c.integer) << c.key;
    }
    EXPECT_TRUE(ini.ReadBool("General", "Logging1", false));
    EXPECT_FALSE(ini.ReadBool("SMTP", "Missing", false));
    EXPECT_TRUE(ini.ReadBool("SMTP", "Junk", true));  // not a number: default
    EXPECT_FALSE(ini.ReadBool("General", "Empty", false));
}

TEST_F(IniTest, ListsSectionsKeysAndValues) {
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"General", "SMTP", "Foreign"}));
    EXPECT_EQ(ini.ReadSection("smtp"), (std::vector<std::string>{"Localport", "Hex", "CHex", "Neg", "Big",
                                                                  "Junk", "Min", "TooBig"}));
    auto values = ini.ReadSectionValues("General");
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values[0], (std::pair<std::string, std::string>{"LogSize", "5000"}));
    for (auto& kv : values) EXPECT_NE(kv.first, "logsize");  // the repeated key is not listed again
    EXPECT_TRUE(ini.SectionExists("foreign"));
    EXPECT_FALSE(ini.SectionExists("Fore"));
    EXPECT_TRUE(ini.ValueExists("General", "empty"));
    EXPECT_FALSE(ini.ValueExists("General", "NoEquals"));
}

TEST_F(IniTest, WritesKeepEverythingElse) {
    ASSERT_TRUE(ini.WriteString("smtp", "LOCALPORT", "25"));        // existing key, other case
    ASSERT_TRUE(ini.WriteString("Foreign", "Added", "new value"));  // new key in a section
    ASSERT_TRUE(ini.WriteInteger("Fresh", "Count", -3));            // new section
    ASSERT_TRUE(ini.WriteBool("Fresh", "Flag", true));
    EXPECT_EQ(ini.ReadInteger("SMTP", "Localport", 0), 25);
    EXPECT_EQ(ini.ReadString("Foreign", "Added", ""), "new value");
    EXPECT_EQ(ini.ReadInteger("fresh", "count", 0), -3);
    EXPECT_TRUE(ini.ReadBool("Fresh", "Flag", false));

    const std::string text = dir.Read("tarnwick.ini");
    // Comments, the key's original spelling, foreign sections and their
    // order survive; lines end in CR LF.
    EXPECT_EQ(text.find("; written by hand\r\n[General]\r\n"), 0u);
    EXPECT_NE(text.find("[ SMTP ] ; trailing comment\r\nLocalport=25\r\n"), std::string::npos);
    EXPECT_NE(text.find("Keep=me\r\nAdded=new value\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Fresh]\r\nCount=-3\r\nFlag=1\r\n"), std::string::npos);
    EXPECT_LT(text.find("[general]"), text.find("[Foreign]"));
    EXPECT_EQ(ini.ReadString("General", "Late", "def"), "def");
}

TEST_F(IniTest, NothingIsCached) {
    EXPECT_EQ(ini.ReadString("Foreign", "Keep", ""), "me");
    dir.Write("tarnwick.ini", "[Foreign]\nKeep=changed outside\n");  // LF only
    EXPECT_EQ(ini.ReadString("Foreign", "Keep", ""), "changed outside");
    ASSERT_TRUE(ini.WriteString("Foreign", "Other", "1"));
    EXPECT_EQ(dir.Read("tarnwick.ini"), "[Foreign]\r\nKeep=changed outside\r\nOther=1\r\n");
}

TEST(IniFileTest, LineBreaksAndNulNeverReachTheFile) {
    twtest::TempDir dir;
    IniFile ini(dir / "x.ini");
    // Text from the network trying to plant a section and a key.
    ASSERT_TRUE(ini.WriteString("A\r\n[B", "K\nX", std::string("v\r\n[C]\r\nX=1\0z", 14)));
    const std::string text = dir.Read("x.ini");
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_FALSE(ini.SectionExists("C"));
    EXPECT_FALSE(ini.SectionExists("B"));
    EXPECT_EQ(ini.ReadString("C", "X", "def"), "def");
    EXPECT_EQ(ini.ReadSection("A  [B").size(), 1u);
    EXPECT_EQ(platform::IniSafe(std::string("x\0y\rz\n", 6)), "x y z ");
}

TEST_F(IniTest, DeleteAndErase) {
    ASSERT_TRUE(ini.WriteString("Foreign", "Keep", "1"));
    ASSERT_TRUE(ini.EraseSection("GENERAL"));  // every copy of it
    EXPECT_FALSE(ini.SectionExists("General"));
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"SMTP", "Foreign"}));
    EXPECT_TRUE(ini.DeleteKey("SMTP", "hex"));
    EXPECT_FALSE(ini.ValueExists("SMTP", "Hex"));
    EXPECT_TRUE(ini.DeleteKey("SMTP", "NotThere"));
    EXPECT_TRUE(ini.DeleteKey("NoSection", "x"));
    EXPECT_TRUE(ini.EraseSection("NoSection"));
    EXPECT_EQ(ini.ReadInteger("SMTP", "CHex", 0), 31);
}

TEST_F(IniTest, DeletedKeyIsGoneEvenWhenRepeated) {
    dir.Write("tarnwick.ini", "[S]\r\nKey=1\r\nOther=2\r\nkey=old\r\n");
    ASSERT_TRUE(ini.DeleteKey("S", "KEY"));
    EXPECT_EQ(ini.ReadString("S", "Key", "gone"), "gone");
    EXPECT_EQ(ini.ReadString("S", "Other", ""), "2");
}

TEST(IniFileTest, MissingFileAndFailedWrites) {
    twtest::TempDir dir;
    IniFile fresh(dir / "new.ini");
    EXPECT_EQ(fresh.ReadString("A", "B", "def"), "def");
    EXPECT_TRUE(fresh.ReadSections().empty());
    EXPECT_TRUE(fresh.WriteString("A", "B", "c"));
    EXPECT_EQ(dir.Read("new.ini"), "[A]\r\nB=c\r\n");

    IniFile nowhere(dir / "no/such/folder/x.ini");
    EXPECT_FALSE(nowhere.WriteString("A", "B", "c"));
    EXPECT_EQ(nowhere.ReadString("A", "B", "def"), "def");

    // A write replaces the file whole and leaves no temporary beside it.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(fresh.WriteInteger("A", "N" + std::to_string(i), i));
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
        ++entries;
        EXPECT_EQ(e.path().filename(), "new.ini");
    }
    EXPECT_EQ(entries, 1u);
}

TEST(IniFileTest, ByteOrderMarkDoesNotHideTheFirstSection) {
    twtest::TempDir dir;
    dir.Write("bom.ini", "\xEF\xBB\xBF[General]\r\nStartMin=1\r\n");
    IniFile ini(dir / "bom.ini");
    EXPECT_TRUE(ini.ReadBool("General", "StartMin", false));
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"General"}));
}

}  // namespace

namespace {

TEST(IniFileProblem, DamagedFilesAreToldFromFreshAndUsableOnes) {
    twtest::TempDir dir;
    struct Case {
        const char* name;
        std::string text;  // "-" for no file at all
        std::string problem;
    } cases[] = {
        {"no file", "-", ""},
        {"usable", "[SMTP]\r\nLocalPort=2525\r\n", ""},
        {"usable after comments", "; mine\n\n[POP] \nLocalPort = 1110\n", ""},
        {"empty", "", "it is empty"},
        {"NUL bytes", std::string(512, '\0'), "it holds NUL bytes"},
        {"NUL inside", std::string("[SMTP]\r\nLocal\0Port=25\r\n", 23), "it holds NUL bytes"},
        {"garbage", "\x8f\x13 not a settings file at all\n", "it holds no settings"},
        {"keys before any section", "LocalPort=2525\n", "it holds no settings"},
        {"sections without keys", "[SMTP]\n[POP]\n", "it holds no settings"},
    };
    for (const auto& c : cases) {
        const std::string path = dir / "tarnwick.ini";
        std::filesystem::remove(path);
        if (c.text != "-") dir.Write("tarnwick.ini", c.text);
        EXPECT_EQ(IniFile(path).Problem(), c.problem) << c.name;
    }
}

}  // namespace

namespace {

// Several values set at once leave the file exactly as the same single
// writes would, whatever the file held: sections new and old, keys found
// in any case, duplicate sections, a byte-order mark, no file at all.
TEST(IniFileWriteValues, SameBytesAsSingleWrites) {
    const std::vector<platform::IniValue> values = {
        {"Connect", "LAN", "1"},        {"SMTP", "localport", "25"}, {"General", "LogSize", "7"},
        {"New", "Key", "a\r\nb"},       {"General", "Added", "x"},   {"SMTP", "Host", " spaced "},
        {"Connect", "LAN", "0"},        {"New", "Other", ""},
    };
    const std::vector<std::pair<const char*, std::string>> starts = {
        {"no file", ""},
        {"sample", kSample},
        {"byte-order mark", "\xEF\xBB\xBF[SMTP]\nHost=a\n"},
        {"no blank line at the end", "[Users]\r\nalice=1.2.3.4"},
    };
    for (const auto& [name, text] : starts) {
        twtest::TempDir dir;
        if (std::string(name) != "no file") {
            dir.Write("single.ini", text);
            dir.Write("batch.ini", text);
        }
        IniFile single(dir / "single.ini");
        for (const auto& v : values) ASSERT_TRUE(single.WriteString(v.section, v.key, v.value));
        ASSERT_TRUE(IniFile(dir / "batch.ini").WriteValues(values, *platform::Env::Default()).ok());
        EXPECT_EQ(dir.Read("batch.ini"), dir.Read("single.ini")) << name;
    }
}

TEST(IniFileWriteValues, AFailedWriteLeavesTheFileAsItWas) {
    twtest::TempDir dir;
    dir.Write("t.ini", kSample);
    for (auto op : {platform::FaultInjectionEnv::Op::Append, platform::FaultInjectionEnv::Op::Sync,
                    platform::FaultInjectionEnv::Op::Rename}) {
        platform::FaultInjectionEnv env;
        env.FailAt(op, 1, ENOSPC);
        EXPECT_EQ(IniFile(dir / "t.ini").WriteValues({{"SMTP", "Host", "changed"}}, env).error, ENOSPC);
        EXPECT_EQ(dir.Read("t.ini"), kSample);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temp file left";
    }
}

}  // namespace
