// The binary data-file format byte for byte, reading of older versions,
// CSV, and the safety of loading damaged or hostile input.
#include "tables/memtable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>
#include <sstream>

namespace {

std::string Hex(const std::string& b) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : b) {
        if (!s.empty()) s += ' ';
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

std::string Bytes(std::initializer_list<int> v) {
    std::string s;
    for (int c : v) s += static_cast<char>(c);
    return s;
}

std::string Short(const std::string& s) { return Bytes({0x06, static_cast<int>(s.size())}) + s; }

// The field-list entry of one field as the writer produces it.
std::string FieldEntry(const std::string& name, const std::string& type, int size, int width) {
    std::string e = Short(name) + Short(type);
    e += size < 128 ? Bytes({0x02, size}) : Bytes({0x03, size & 0xFF, size >> 8});
    e += Short(name) + Short("");
    e += width < 128 ? Bytes({0x02, width}) : Bytes({0x03, width & 0xFF, width >> 8});
    e += Bytes({0x08, 0x08});
    return e;
}

const std::string kHead = std::string("TPF0") + Bytes({0x03, 0xF9, 0x00});

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/tw_tables_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(const std::string& n) const { return (path / n).string(); }
};

// One-field tables whose only record carries the given value; returns the
// bytes of the record entry (the record list without its list markers).
std::string RecordBytes(TFieldType type, int size, const std::function<void(TField&)>& set) {
    TvdlMemTable t;
    t.FieldDefs().Add("F", type, size);
    t.CreateTable();
    t.Open();
    t.Append();
    set(t.FieldByName("F"));
    t.Post();
    std::string b = t.SaveToBinaryString(mtfSaveProgramFile);
    // header, field list, empty index list "01 00", record list "01 ... 00"
    size_t idx = b.find(Bytes({0x00, 0x01, 0x00, 0x01}), kHead.size());
    EXPECT_NE(idx, std::string::npos);
    std::string recs = b.substr(idx + 4);
    EXPECT_EQ(recs.back(), '\0');
    return recs.substr(0, recs.size() - 1);
}

TEST(TableFormat, EmptyTableWithCaseInsensitiveIndex) {
    TvdlMemTable t;
    t.FieldDefs().Add("Name", ftString, 64);
    t.CreateTable();
    t.AddIndex("ixName", "Name", ixCaseInsensitive);
    t.Open();
    std::string expect = kHead + Bytes({0x01}) + FieldEntry("Name", "String", 64, 64) + Bytes({0x00}) +
                         Bytes({0x01}) + Short("ixName") + Short("Name") + Short("ixName") +
                         Bytes({0x08, 0x09, 0x08, 0x08}) + Bytes({0x00}) + Bytes({0x01, 0x00});
    EXPECT_EQ(Hex(t.SaveToBinaryString(mtfSaveProgramFile)), Hex(expect));
}

TEST(TableFormat, ValueEncodings) {
    struct Case {
        const char* name;
        TFieldType type;
        int size;
        std::function<void(TField&)> set;
        std::string value;  // bytes after status and null flag
    };
    const std::string s255(255, 'x'), s256(256, 'y');
    std::vector<Case> cases = {
        {"int 100", ftInteger, 0, [](TField& f) { f.SetAsInteger(100); }, Bytes({0x02, 0x64})},
        {"int 300", ftInteger, 0, [](TField& f) { f.SetAsInteger(300); }, Bytes({0x03, 0x2C, 0x01})},
        {"int -129", ftInteger, 0, [](TField& f) { f.SetAsInteger(-129); }, Bytes({0x03, 0x7F, 0xFF})},
        {"int -128", ftInteger, 0, [](TField& f) { f.SetAsInteger(-128); }, Bytes({0x02, 0x80})},
        {"int 32768", ftInteger, 0, [](TField& f) { f.SetAsInteger(32768); }, Bytes({0x04, 0x00, 0x80, 0x00, 0x00})},
        {"int min", ftInteger, 0, [](TField& f) { f.SetAsInteger(INT32_MIN); }, Bytes({0x04, 0x00, 0x00, 0x00, 0x80})},
        {"string 255", ftString, 300, [&](TField& f) { f.SetAsString(s255); }, Bytes({0x06, 0xFF}) + s255},
        {"string 256", ftString, 300, [&](TField& f) { f.SetAsString(s256); },
         Bytes({0x0C, 0x00, 0x01, 0x00, 0x00}) + s256},
        {"float 1.0", ftFloat, 0, [](TField& f) { f.SetAsFloat(1.0); },
         Bytes({0x05, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})},
        {"date", ftDate, 0, [](TField& f) { f.SetAsDateTime(memtable::EncodeDate(2026, 12, 7)); },
         Bytes({0x05, 0, 0, 0, 0, 0, 0, 0x1B, 0xB5, 0x0E, 0x40})},
        {"datetime noon", ftDateTime, 0,
         [](TField& f) { f.SetAsDateTime(memtable::EncodeDate(2026, 12, 7) + 0.5); },
         Bytes({0x05, 0, 0, 0, 0, 0, 0x80, 0x1B, 0xB5, 0x0E, 0x40})},
        {"boolean true", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, Bytes({0x09})},
        {"boolean false", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(false); }, Bytes({0x08})},
        {"memo", ftMemo, 0, [](TField& f) { f.SetAsString("a\r\nb"); }, Short("a\r\nb")},
        {"currency", ftCurrency, 0, [](TField& f) { f.SetAsFloat(1.0); },
         Bytes({0x05, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})},
    };
    for (auto& c : cases) {
        std::string expect = Bytes({0x01, 0x02, 0x00, 0x08}) + c.value + Bytes({0x00});
        EXPECT_EQ(Hex(RecordBytes(c.type, c.size, c.set)), Hex(expect)) << c.name;
    }
    // A field without a value is the single byte True.
    EXPECT_EQ(Hex(RecordBytes(ftInteger, 0, [](TField&) {})), Hex(Bytes({0x01, 0x02, 0x00, 0x09, 0x00})));
}

TEST(TableFormat, RecordOfThreeFields) {
    TvdlMemTable t;
    t.FieldDefs().Add("S", ftString, 10);
    t.FieldDefs().Add("I", ftInteger);
    t.FieldDefs().Add("B", ftBoolean);
    t.CreateTable();
    t.Open();
    t.Append();
    t.FieldByName("S").SetAsString("abc");
    t.FieldByName("I").SetAsInteger(5);
    t.FieldByName("B").SetAsBoolean(true);
    t.Post();
    std::string b = t.SaveToBinaryString(mtfSaveProgramFile);
    std::string rec = Bytes({0x01, 0x02, 0x00, 0x08, 0x06, 0x03, 'a', 'b', 'c', 0x08, 0x02, 0x05, 0x08, 0x09, 0x00});
    ASSERT_GE(b.size(), rec.size() + 2);
    EXPECT_EQ(Hex(b.substr(b.size() - rec.size() - 1)), Hex(rec + Bytes({0x00})));
}

// Values survive a save and a load into a fresh table, nulls included.
TEST(TableFormat, RoundTripEveryStoredType) {
    TvdlMemTable a;
    struct F { const char* name; TFieldType type; int size; const char* text; };
    std::vector<F> fields = {
        {"S", ftString, 20, "hello"},      {"Sm", ftSmallint, 0, "-300"},  {"I", ftInteger, 0, "123456"},
        {"W", ftWord, 0, "65535"},         {"B", ftBoolean, 0, "True"},    {"Fl", ftFloat, 0, "2.5"},
        {"Cu", ftCurrency, 0, "12.3456"},  {"D", ftDate, 0, "07/12/2026"}, {"Ti", ftTime, 0, "13:45:10"},
        {"DT", ftDateTime, 0, "07/12/2026 13:45:10"}, {"M", ftMemo, 0, "line1\r\nline2"},
        {"L", ftLargeint, 0, "9007199254740"},        {"A", ftAutoInc, 0, nullptr},
        {"Bl", ftBlob, 0, "\x01\x02\x03"},            {"FC", ftFixedChar, 4, "abcd"},
    };
    for (auto& f : fields) a.FieldDefs().Add(f.name, f.type, f.size);
    a.CreateTable();
    a.Open();
    a.Append();
    for (auto& f : fields)
        if (f.text) a.FieldByName(f.name).SetAsString(f.text);
    a.Post();
    a.Append();  // a row of nulls (but the AutoInc)
    a.Post();
    TvdlMemTable b;
    b.LoadFromBinaryString(a.SaveToBinaryString());
    ASSERT_EQ(b.RecordCount(), 2);
    ASSERT_EQ(b.FieldCount(), static_cast<int>(fields.size()));
    b.First();
    for (auto& f : fields) {
        if (f.text) {
            EXPECT_EQ(b.FieldByName(f.name).AsString(), f.text) << f.name;
        }
    }
    EXPECT_EQ(b.FieldByName("A").AsInteger(), 0) << "AutoInc starts at AutoIncMinValue";
    b.Next();
    for (auto& f : fields) {
        if (f.type != ftAutoInc) {
            EXPECT_TRUE(b.FieldByName(f.name).IsNull()) << f.name;
        }
    }
    EXPECT_EQ(b.FieldByName("A").AsInteger(), 1);
    EXPECT_EQ(b.AutoIncMax(), 1);
}

// Hand-made files of the older layouts.
TEST(TableFormat, ReadsOlderVersions) {
    std::string fieldList = Bytes({0x01}) + FieldEntry("N", "String", 10, 10) + FieldEntry("D", "Date", 0, 10) +
                            Bytes({0x00});
    std::string date = Bytes({0x05, 0, 0, 0, 0, 0, 0, 0x1B, 0xB5, 0x0E, 0x40});
    std::string zero = Bytes({0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    struct Case { const char* name; std::string file; };
    std::vector<Case> cases = {
        // below 230: bare values, no status, no null flags
        {"v200", std::string("TPF0") + Bytes({0x03, 0xC8, 0x00}) + fieldList + Bytes({0x01, 0x00}) + Bytes({0x01}) +
                     Short("ann") + date + Short("bob") + zero + Bytes({0x00})},
        // 230..248: a list per record with status, no null flags
        {"v240", std::string("TPF0") + Bytes({0x03, 0xF0, 0x00}) + fieldList + Bytes({0x01, 0x00}) + Bytes({0x01}) +
                     Bytes({0x01, 0x02, 0x00}) + Short("ann") + date + Bytes({0x00}) + Bytes({0x01, 0x02, 0x00}) +
                     Short("bob") + zero + Bytes({0x00}) + Bytes({0x00})},
        // 249 with the zero date written as a value
        {"v249", kHead + fieldList + Bytes({0x01, 0x00}) + Bytes({0x01}) + Bytes({0x01, 0x02, 0x00, 0x08}) +
                     Short("ann") + Bytes({0x08}) + date + Bytes({0x00}) + Bytes({0x01, 0x02, 0x00, 0x08}) +
                     Short("bob") + Bytes({0x08}) + zero + Bytes({0x00}) + Bytes({0x00})},
    };
    for (auto& c : cases) {
        TvdlMemTable t;
        ASSERT_NO_THROW(t.LoadFromBinaryString(c.file)) << c.name;
        ASSERT_EQ(t.RecordCount(), 2) << c.name;
        t.First();
        EXPECT_EQ(t.FieldByName("N").AsString(), "ann") << c.name;
        EXPECT_EQ(t.FieldByName("D").AsString(), "07/12/2026") << c.name;
        t.Next();
        EXPECT_EQ(t.FieldByName("N").AsString(), "bob") << c.name;
        EXPECT_TRUE(t.FieldByName("D").IsNull()) << c.name << ": a zero date is no date";
    }
}

TEST(TableFormat, LoadErrors) {
    std::string good;
    {
        TvdlMemTable t;
        t.FieldDefs().Add("N", ftString, 10);
        t.CreateTable();
        t.AddIndex("ixN", "N", ixUnique);
        t.Open();
        t.Append();
        t.FieldByName("N").SetAsString("a");
        t.Post();
        good = t.SaveToBinaryString();
    }
    std::string badType = good;
    badType.replace(badType.find("String"), 6, "Strinx");
    struct Case { const char* name; std::string bytes; const char* message; };
    std::vector<Case> cases = {
        {"signature", "TPF1" + good.substr(4), "Invalid stream format"},
        {"empty", "", "Invalid stream format"},
        {"type name", badType, "Unknown field type (Strinx)"},
        {"version tag", "TPF0" + Bytes({0x06, 0x01, 'x'}) + good.substr(7), "Invalid property value"},
        {"truncated", good.substr(0, good.size() - 3), "Stream read error"},
    };
    for (auto& c : cases) {
        TvdlMemTable t;
        try {
            t.LoadFromBinaryString(c.bytes);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const EMemTableError& e) {
            EXPECT_STREQ(e.what(), c.message) << c.name;
        }
    }
}

// A file whose unique index holds equal keys fails, and the table keeps
// what it had.
TEST(TableFormat, FailedLoadLeavesTableUnchanged) {
    TvdlMemTable src;
    src.FieldDefs().Add("N", ftString, 10);
    src.CreateTable();
    src.AddIndex("ixN", "N", 0);
    src.Open();
    for (const char* n : {"a", "a"}) {
        src.Append();
        src.FieldByName("N").SetAsString(n);
        src.Post();
    }
    std::string bytes = src.SaveToBinaryString();
    // Flip the index to unique: its last Boolean before the index list end.
    size_t p = bytes.find(Short("ixN") + Short("N") + Short("ixN"));
    ASSERT_NE(p, std::string::npos);
    size_t uniq = p + (Short("ixN") + Short("N") + Short("ixN")).size() + 3;
    ASSERT_EQ(bytes[uniq], 0x08);
    bytes[uniq] = 0x09;

    TvdlMemTable t;
    t.FieldDefs().Add("Name", ftString, 20);
    t.CreateTable();
    t.AddIndex("ixName", "Name", ixPrimary);
    t.Open();
    t.SetIndexName("ixName");
    for (const char* n : {"x", "y"}) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.Post();
    }
    try {
        t.LoadFromBinaryString(bytes);
        FAIL() << "duplicate keys accepted";
    } catch (const EMemTableError& e) {
        EXPECT_STREQ(e.what(), "Duplicate index value. Operation aborted.");
    }
    ASSERT_NE(t.FindField("Name"), nullptr);
    EXPECT_EQ(t.FindField("N"), nullptr);
    EXPECT_EQ(t.RecordCount(), 2);
    EXPECT_EQ(t.IndexName(), "ixName");
    EXPECT_TRUE(t.FindKey({"y"}));
    t.Append();
    t.FieldByName("Name").SetAsString("z");
    t.Post();
    EXPECT_EQ(t.RecordCount(), 3);
}

// Every prefix and every single-byte change of a real file either loads or
// fails with an error; never a crash (this runs under the sanitizers).
TEST(TableFormat, DamagedFilesAtEveryCutPoint) {
    TvdlMemTable src;
    src.FieldDefs().Add("Name", ftString, 64);
    src.FieldDefs().Add("N", ftInteger);
    src.FieldDefs().Add("On", ftBoolean);
    src.FieldDefs().Add("When", ftDateTime);
    src.FieldDefs().Add("Note", ftMemo);
    src.CreateTable();
    src.AddIndex("ixName", "Name;N", ixUnique | ixCaseInsensitive);
    src.Open();
    for (int i = 0; i < 4; ++i) {
        src.Append();
        src.FieldByName("Name").SetAsString("user" + std::to_string(i));
        if (i != 2) src.FieldByName("N").SetAsInteger(i * 1000);
        src.FieldByName("On").SetAsBoolean(i % 2);
        src.FieldByName("When").SetAsDateTime(40000.25 + i);
        src.FieldByName("Note").SetAsString(std::string(i * 100, 'n'));
        src.Post();
    }
    const std::string good = src.SaveToBinaryString();
    int failures = 0;
    for (size_t cut = 0; cut < good.size(); ++cut) {
        TvdlMemTable t;
        try {
            t.LoadFromBinaryString(good.substr(0, cut));
        } catch (const EDatabaseError&) {
            ++failures;
        }
    }
    EXPECT_EQ(failures, static_cast<int>(good.size())) << "every proper prefix must fail";
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {  // several changes at once
        std::string bad = good;
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
            size_t pos = rng() % bad.size();
            switch (rng() % 3) {
            case 0: bad[pos] = static_cast<char>(rng()); break;
            case 1: bad.erase(pos, 1 + rng() % 8); break;
            default: bad.insert(pos, 1 + rng() % 8, static_cast<char>(rng() % 16)); break;
            }
            if (bad.empty()) bad = "T";
        }
        TvdlMemTable t;
        try {
            t.LoadFromBinaryString(bad);
            (void)t.RecordCount();
        } catch (const EDatabaseError&) {
        }
    }
    for (size_t pos = 0; pos < good.size(); ++pos) {
        for (int v : {0x00, 0x01, 0x04, 0x0C, 0x7F, 0xFF}) {
            std::string bad = good;
            bad[pos] = static_cast<char>(v);
            TvdlMemTable t;
            try {
                t.LoadFromBinaryString(bad);
                (void)t.RecordCount();
            } catch (const EDatabaseError&) {
            }
        }
    }
}

TEST(TableFormat, HostileSizesDoNotAllocate) {
    // A long string that claims 2 GiB, and a field of size 2^31 - 1.
    std::string hugeString = kHead + Bytes({0x01, 0x0C, 0xFF, 0xFF, 0xFF, 0x7F}) + "x";
    std::string hugeField = kHead + Bytes({0x01}) + Short("B") + Short("Bytes") +
                            Bytes({0x04, 0xFF, 0xFF, 0xFF, 0x7F}) + Short("B") + Short("") +
                            Bytes({0x02, 0x01, 0x08, 0x08, 0x00, 0x01, 0x00, 0x01, 0x00});
    // An old-layout file with no fields and a record list that never ends.
    std::string noFields = std::string("TPF0") + Bytes({0x02, 0x64, 0x01, 0x00, 0x01, 0x00, 0x01}) + std::string(64, '\x01');
    for (const std::string& b : {hugeString, hugeField, noFields}) {
        TvdlMemTable t;
        EXPECT_THROW(t.LoadFromBinaryString(b), EMemTableError);
    }
}

// Saving replaces the file in one step; a failed save leaves it whole.
TEST(TableFormat, SaveIsCrashSafe) {
    TempDir dir;
    std::string path = dir.File("users.dat");
    TvdlMemTable t;
    t.FieldDefs().Add("Name", ftString, 64);
    t.CreateTable();
    t.Open();
    t.Append();
    t.FieldByName("Name").SetAsString("alice");
    t.Post();
    t.SaveToBinaryFile(path);
    std::string before;
    {
        std::ifstream in(path, std::ios::binary);
        before.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_THROW(t.SaveToBinaryFile(dir.File("missing/users.dat")), EMemTableError);
    // A folder where the temp file must go makes the next save fail midway.
    std::filesystem::create_directory(path + ".tmp" + std::to_string(::getpid()));
    t.Append();
    t.FieldByName("Name").SetAsString("bob");
    t.Post();
    EXPECT_THROW(t.SaveToBinaryFile(path), EMemTableError);
    {
        std::ifstream in(path, std::ios::binary);
        std::string after(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(after, before) << "the old file is whole";
    }
    std::filesystem::remove(path + ".tmp" + std::to_string(::getpid()));
    t.SaveToBinaryFile(path);
    TvdlMemTable back;
    back.LoadFromBinaryFile(path);
    EXPECT_EQ(back.RecordCount(), 2);
    for (auto& e : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << "temp file left behind";
}

TEST(TableFormat, CsvRoundTrip) {
    TvdlMemTable a;
    a.FieldDefs().Add("Name", ftString, 30);
    a.FieldDefs().Add("N", ftInteger);
    a.FieldDefs().Add("D", ftDate);
    a.FieldDefs().Add("Note", ftMemo);
    a.FieldDefs().Add("Bin", ftBlob);
    a.CreateTable();
    a.AddIndex("ixName", "Name", ixCaseInsensitive | ixUnique);
    a.Open();
    a.Append();
    a.FieldByName("Name").SetAsString("o\"neil, 100%");
    a.FieldByName("N").SetAsInteger(-7);
    a.FieldByName("D").SetAsDateTime(memtable::EncodeDate(2001, 2, 3));
    a.FieldByName("Note").SetAsString(std::string("a\r\nb\0c", 6));
    a.FieldByName("Bin").SetAsString(std::string("\x00\xFF\x10\x20", 4));
    a.Post();
    a.Append();
    a.FieldByName("Name").SetAsString("empty");
    a.Post();
    std::ostringstream out;
    a.SaveToCSVStream(out);
    const std::string csv = out.str();
    EXPECT_EQ(csv.rfind("\"@@FILE VERSION@@\",\"249\"\r\n@@TABLEDEF START@@\r\nName=String,30,\"Name\",\"\",30\r\n", 0), 0u)
        << csv;
    EXPECT_NE(csv.find("@@INDEXDEF START@@\r\nixName=Name,CASE,UNIQ\r\n@@INDEXDEF END@@\r\n"), std::string::npos);
    EXPECT_NE(csv.find("\"a%c%nb%0c\""), std::string::npos) << "escapes";
    EXPECT_NE(csv.find("\"03/02/2001\""), std::string::npos);
    EXPECT_NE(csv.find("\"empty\",,,,\r\n"), std::string::npos) << "nulls are written as nothing";

    TvdlMemTable b;
    std::istringstream in(csv);
    b.LoadFromCSVStream(in);
    ASSERT_EQ(b.RecordCount(), 2);
    b.SetIndexName("ixName");
    ASSERT_TRUE(b.FindKey({"O\"NEIL, 100%"}));
    EXPECT_EQ(b.FieldByName("N").AsInteger(), -7);
    EXPECT_EQ(b.FieldByName("D").AsString(), "03/02/2001");
    EXPECT_EQ(b.FieldByName("Note").AsString(), std::string("a\r\nb\0c", 6));
    EXPECT_EQ(b.FieldByName("Bin").AsString(), std::string("\x00\xFF\x10\x20", 4));
    ASSERT_TRUE(b.FindKey({"empty"}));
    EXPECT_TRUE(b.FieldByName("N").IsNull());

    EXPECT_THROW(a.SaveToCSVStream(out, mtfSaveProgramFile), EMemTableError);
    std::istringstream badType("@@TABLEDEF START@@\r\nX=Nonsense,1,\"X\",\"\",1\r\n@@TABLEDEF END@@\r\n");
    try {
        b.LoadFromCSVStream(badType);
        FAIL();
    } catch (const EMemTableError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Unknown field type (Nonsense) in CSV file.", 0), 0u);
    }
    EXPECT_EQ(b.RecordCount(), 2) << "a failed CSV load leaves the table";
}

}  // namespace
