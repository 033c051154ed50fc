// Table operations: collation, key compare, index selection, FindKey,
// ranges, Locate/Lookup, editing rules, AutoInc, record store reuse, and
// the whole-table save.
#include "tables/memtable.h"

#include <gtest/gtest.h>

namespace {

// users-like table: User;Name two-field index as the program uses it.
struct Users {
    TvdlMemTable t;
    Users(TIndexOptions opts = ixPrimary) {
        t.FieldDefs().Add("User", ftString, 64);
        t.FieldDefs().Add("Name", ftString, 64);
        t.FieldDefs().Add("N", ftInteger);
        t.CreateTable();
        t.AddIndex("ixUser", "User;Name", opts);
        t.Open();
        t.SetIndexName("ixUser");
    }
    void Add(const char* user, const char* name, int n = 0) {
        t.Append();
        t.FieldByName("User").SetAsString(user);
        if (name) t.FieldByName("Name").SetAsString(name);
        t.FieldByName("N").SetAsInteger(n);
        t.Post();
    }
    std::vector<std::string> Rows() {
        std::vector<std::string> out;
        for (t.First(); !t.Eof(); t.Next())
            out.push_back(t.FieldByName("User").AsString() + "/" + t.FieldByName("Name").AsString());
        return out;
    }
};

std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(TableCollation, OrdersAreDeterministic) {
    struct Case { const char* a; const char* b; int str; int text; int ord; };
    const Case cases[] = {
        {"a", "B", -1, -1, 1},     // letters first, then case; ordinal puts "B" first
        {"a", "A", -1, 0, 1},      // lower case before upper case at a tie
        {"A", "b", -1, -1, -1},
        {"ab", "a", 1, 1, 1},
        {"", "a", -1, -1, -1},
        {"Zed", "alpha", 1, 1, -1},
        {"\xE9t\xE9", "\xC9T\xC9", -1, 0, 1},  // Latin-1 letters fold as well
        {"a_b", "aB", -1, -1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(memtable::AnsiCompareStr(c.a, c.b), c.str) << c.a << " " << c.b;
        EXPECT_EQ(memtable::AnsiCompareStr(c.b, c.a), -c.str) << c.a << " " << c.b;
        EXPECT_EQ(memtable::AnsiCompareText(c.a, c.b), c.text) << c.a << " " << c.b;
        EXPECT_EQ(memtable::CompareStr(c.a, c.b), c.ord) << c.a << " " << c.b;
    }
}

// Integer keys far apart: a 32-bit difference would overflow and misorder.
TEST(TableKeys, IntegerKeysCompareAtFullWidth) {
    for (TFieldType type : {ftInteger, ftLargeint}) {
        TvdlMemTable t;
        t.FieldDefs().Add("K", type);
        t.CreateTable();
        t.AddIndex("ixK", "K", 0);
        t.Open();
        t.SetIndexName("ixK");
        std::vector<std::int64_t> values = {INT32_MAX, INT32_MIN, 0, -1, 1, INT32_MAX - 5};
        if (type == ftLargeint) {
            values.push_back(1LL << 40);
            values.push_back((1LL << 40) + 1);
            values.push_back(-(1LL << 40));
        }
        for (auto v : values) {
            t.Append();
            t.FieldByName("K").SetAsInteger(v);
            t.Post();
        }
        std::vector<std::int64_t> got;
        for (t.First(); !t.Eof(); t.Next()) got.push_back(t.FieldByName("K").AsInteger());
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(got, sorted);
        for (auto v : values) EXPECT_TRUE(t.FindKey({static_cast<long long>(v)})) << v;
    }
}

TEST(TableKeys, NullsAndEqualKeys) {
    Users u(0);
    u.Add("bob", "x", 1);
    u.Add("bob", nullptr, 2);
    u.Add("amy", "z", 3);
    u.Add("bob", "x", 4);
    u.Add("bob", "x", 5);
    EXPECT_EQ(u.Rows(), (std::vector<std::string>{"amy/z", "bob/", "bob/x", "bob/x", "bob/x"}));
    // A key shorter than the index finds only a record whose rest is null.
    ASSERT_TRUE(u.t.FindKey({"bob"}));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 2);
    // Equal keys keep insertion order: the first is always the first posted.
    ASSERT_TRUE(u.t.FindKey({"bob", "x"}));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 1);
    EXPECT_FALSE(u.t.FindKey({"carl"}));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 1) << "a failed search leaves the cursor";
}

// Bisection (more than 20 records) and scan give the same first match.
TEST(TableKeys, FirstOfEqualKeysAtAnySize) {
    for (int count : {5, 20, 21, 200}) {
        TvdlMemTable t;
        t.FieldDefs().Add("K", ftInteger);
        t.FieldDefs().Add("Seq", ftInteger);
        t.CreateTable();
        t.AddIndex("ixK", "K", 0);
        t.Open();
        t.SetIndexName("ixK");
        for (int i = 0; i < count; ++i) {
            t.Append();
            t.FieldByName("K").SetAsInteger((i * 7) % 3);
            t.FieldByName("Seq").SetAsInteger(i);
            t.Post();
        }
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(t.FindKey({k})) << count;
            int first = 0;
            while ((first * 7) % 3 != k) ++first;
            EXPECT_EQ(t.FieldByName("Seq").AsInteger(), first) << count << " key " << k;
        }
    }
}

TEST(TableIndexes, SelectionAndErrors) {
    Users u;
    EXPECT_NO_THROW(u.t.SetIndexName("IXUSER"));
    EXPECT_EQ(u.t.CurrentIndex()->Name, "ixUser");
    EXPECT_EQ(Message([&] { u.t.SetIndexName("ixNone"); }), "Index ixNone does not exist");
    EXPECT_EQ(u.t.CurrentIndex()->Name, "ixUser");
    u.t.SetIndexFieldNames("user;name");
    EXPECT_EQ(u.t.CurrentIndex()->Name, "ixUser");
    u.t.SetIndexFieldNames("");
    EXPECT_TRUE(u.t.CurrentIndex()->IsRowOrder);
    u.t.SetIndexFieldNames("Nothing");
    EXPECT_TRUE(u.t.CurrentIndex()->IsRowOrder) << "an unknown field list keeps the index";
    EXPECT_EQ(Message([&] { u.t.AddIndex("", "User", 0); }), "Missing Name or FieldNames in IndexDef!");

    TvdlMemTable m;
    m.FieldDefs().Add("Body", ftMemo);
    m.CreateTable();
    m.Open();
    EXPECT_EQ(Message([&] { m.AddIndex("ixBody", "Body", 0); }), "Can't index on field Body");
    EXPECT_EQ(m.IndexDefs().Count(), 0);

    // A closed table stores the name and applies it at open.
    TvdlMemTable c;
    c.FieldDefs().Add("A", ftString, 5);
    c.CreateTable();
    c.AddIndex("ixA", "A", 0);
    c.SetIndexName("ixa");
    c.Open();
    EXPECT_EQ(c.CurrentIndex()->Name, "ixA");
}

TEST(TableIndexes, UniqueIndexRefusesDuplicates) {
    Users u(ixUnique);
    u.Add("bob", "x");
    u.t.Append();
    u.t.FieldByName("User").SetAsString("bob");
    u.t.FieldByName("Name").SetAsString("x");
    EXPECT_EQ(Message([&] { u.t.Post(); }), "Duplicate index value. Operation aborted.");
    EXPECT_EQ(u.t.State(), dsInsert) << "a failed post stays in insert state";
    u.t.Cancel();
    EXPECT_EQ(u.t.RecordCount(), 1);
    u.Add("bob", "y");
    u.t.Edit();
    u.t.FieldByName("Name").SetAsString("x");
    EXPECT_THROW(u.t.Post(), EMemTableError);
    u.t.Cancel();
    EXPECT_EQ(u.Rows(), (std::vector<std::string>{"bob/x", "bob/y"}));
    // Editing a record to its own key is allowed.
    ASSERT_TRUE(u.t.FindKey({"bob", "x"}));
    u.t.Edit();
    u.t.FieldByName("N").SetAsInteger(9);
    EXPECT_NO_THROW(u.t.Post());
    // Primary alone does not make an index unique.
    Users p(ixPrimary);
    p.Add("a", "b");
    EXPECT_NO_THROW(p.Add("a", "b"));
}

TEST(TableRanges, RangeOnLeadingFieldAndCase) {
    Users u(ixCaseInsensitive);
    u.Add("bob", "1");
    u.Add("Bob", "2");
    u.Add("amy", "3");
    u.Add("bob", "4");
    u.Add("carl", "5");
    u.t.SetRange({"bob"}, {"bob"});
    EXPECT_TRUE(u.t.RangeActive());
    EXPECT_EQ(u.Rows(), (std::vector<std::string>{"bob/1", "bob/4"}))
        << "the range compares case-sensitively whatever the index says";
    EXPECT_EQ(u.t.RecordCount(), 2);
    // FindKey on the case-insensitive index finds the capitalised word
    // (outside the range only after it is cancelled).
    EXPECT_FALSE(u.t.FindKey({"BOB", "2"}));
    u.t.CancelRange();
    EXPECT_TRUE(u.t.FindKey({"BOB", "2"}));
    EXPECT_EQ(u.t.FieldByName("User").AsString(), "Bob");
    EXPECT_EQ(u.t.RecordCount(), 5);

    // SetRangeStart/End with field assignments; only index fields may be set.
    u.t.SetRangeStart();
    u.t.FieldByName("User").SetAsString("amy");
    EXPECT_EQ(Message([&] { u.t.FieldByName("N").SetAsInteger(1); }), "Field N is read only");
    u.t.SetRangeEnd();
    u.t.FieldByName("User").SetAsString("Bob");
    u.t.ApplyRange();
    EXPECT_EQ(u.Rows(), (std::vector<std::string>{"amy/3", "bob/1", "Bob/2", "bob/4"}));
    // Selecting another index cancels the range.
    u.t.SetIndexName("");
    EXPECT_FALSE(u.t.RangeActive());
    EXPECT_EQ(u.t.RecordCount(), 5);
}

// The whole-table save ignores a range left on the table; an explicit $1073
// save writes only the range.
TEST(TableRanges, SavesAndRanges) {
    Users u;
    u.Add("a", "1");
    u.Add("b", "2");
    u.Add("b", "3");
    u.t.SetRange({"b"}, {"b"});
    TvdlMemTable whole, part;
    whole.LoadFromBinaryString(u.t.SaveToBinaryString());
    part.LoadFromBinaryString(u.t.SaveToBinaryString(mtfSaveProgramFile));
    EXPECT_EQ(whole.RecordCount(), 3);
    EXPECT_EQ(part.RecordCount(), 2);
    EXPECT_TRUE(u.t.RangeActive()) << "the range is back after the save";
    EXPECT_EQ(u.t.RecordCount(), 2);
    // Filters likewise.
    u.t.CancelRange();
    u.t.OnFilterRecord = [](TvdlMemTable& t, bool& accept) { accept = t.FieldByName("User").AsString() == "a"; };
    u.t.SetFiltered(true);
    EXPECT_EQ(u.t.RecordCount(), 1);
    whole.LoadFromBinaryString(u.t.SaveToBinaryString());
    EXPECT_EQ(whole.RecordCount(), 3);
}

TEST(TableLocate, LocateAndLookup) {
    Users u;
    u.Add("bob", "Smith", 1);
    u.Add("amy", "smith", 2);
    u.Add("amy", "Jones", 3);
    // Not the index's fields: the first match in current-index order.
    ASSERT_TRUE(u.t.Locate("Name", "smith", 0));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 2);
    ASSERT_TRUE(u.t.Locate("Name", "SMI", loCaseInsensitive | loPartialKey));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 2);
    EXPECT_FALSE(u.t.Locate("Name", "SMI", loPartialKey));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 2);
    ASSERT_TRUE(u.t.Locate("User;Name", TvdlVariant::Array({"bob", "Smith"}), 0));
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 1);
    // Lookup leaves the cursor.
    EXPECT_EQ(u.t.Lookup("N", 3, "Name").AsString(), "Jones");
    EXPECT_EQ(u.t.FieldByName("N").AsInteger(), 1);
    TvdlVariant both = u.t.Lookup("N", 2, "User;Name");
    ASSERT_TRUE(both.IsArray());
    EXPECT_EQ(both.Items()[1].AsString(), "smith");
    EXPECT_TRUE(u.t.Lookup("N", 99, "Name").IsNull());

    struct Bad { const char* fields; TvdlVariant values; const char* message; };
    const Bad bad[] = {
        {"", "x", "There must be at least one field"},
        {"User;Name", "x", "More fields than values"},
        {"User", TvdlVariant::Array({TvdlVariant::Array({"a"})}), "Values variant array has invalid dimension count"},
        {"Nope", "x", "Field 'Nope' not found"},
    };
    for (const Bad& b : bad) EXPECT_EQ(Message([&] { u.t.Locate(b.fields, b.values, 0); }), b.message) << b.fields;
}

TEST(TableEditing, StatesAndReadOnly) {
    Users u;
    u.Add("a", "1");
    EXPECT_EQ(Message([&] { u.t.FieldByName("User").SetAsString("x"); }), "Dataset is not in edit mode.");
    u.t.FieldByName("Name").ReadOnly = true;
    u.t.FieldByName("Name").DisplayLabel = "Full name";
    u.t.Edit();
    EXPECT_EQ(Message([&] { u.t.FieldByName("Name").SetAsString("x"); }), "Field Full name is read only");
    u.t.Cancel();
    EXPECT_EQ(u.t.FieldByName("Name").AsString(), "1");
    EXPECT_EQ(Message([&] { u.t.FieldByName("N").Value(); u.t.FieldByName("Missing"); }), "Field 'Missing' not found");

    // Converted values and range checks.
    TvdlMemTable c;
    c.FieldDefs().Add("S", ftSmallint);
    c.FieldDefs().Add("Str", ftString, 3);
    c.FieldDefs().Add("B", ftBoolean);
    c.CreateTable();
    c.Open();
    c.Append();
    EXPECT_THROW(c.FieldByName("S").SetAsInteger(40000), EDatabaseError);
    EXPECT_THROW(c.FieldByName("S").SetAsString("12x"), EDatabaseError);
    c.FieldByName("Str").SetAsString("abcdef");
    EXPECT_EQ(c.FieldByName("Str").AsString(), "abc") << "cut to the field's size";
    c.FieldByName("B").SetAsString("true");
    EXPECT_TRUE(c.FieldByName("B").AsBoolean());
    c.Post();
}

TEST(TableEditing, AutoIncNumbers) {
    TvdlMemTable t;
    t.FieldDefs().Add("Id", ftAutoInc);
    t.FieldDefs().Add("S", ftString, 5);
    t.AutoIncMinValue = 10;
    t.CreateTable();
    t.Open();
    t.Append();
    EXPECT_EQ(t.FieldByName("Id").AsInteger(), 10);
    t.Cancel();
    t.Append();
    EXPECT_EQ(t.FieldByName("Id").AsInteger(), 10) << "a cancelled record uses up no number";
    t.Post();
    t.Append();
    EXPECT_EQ(t.FieldByName("Id").AsInteger(), 11);
    t.Post();
}

TEST(TableEditing, RecordStoreReusesSlots) {
    TvdlMemTable t;
    t.FieldDefs().Add("S", ftString, 5);
    t.CreateTable();
    t.Open();
    for (const char* s : {"a", "b", "c"}) {
        t.Append();
        t.FieldByName("S").SetAsString(s);
        t.Post();
    }
    t.First();
    t.Delete();  // frees 0
    EXPECT_EQ(t.FieldByName("S").AsString(), "b");
    t.Delete();  // frees 1
    t.Append();
    t.FieldByName("S").SetAsString("d");
    t.Post();
    EXPECT_EQ(t.GetBookmark(), 1) << "the most recently freed slot comes first";
    EXPECT_EQ(Message([&] { t.GotoBookmark(0); }), "Bookmark 0 not found.");
    // Deleting the last records clears the store: numbering starts again.
    while (!t.IsEmpty()) {
        t.First();
        t.Delete();
    }
    EXPECT_TRUE(t.Eof());
    t.Append();
    t.Post();
    EXPECT_EQ(t.GetBookmark(), 0);
}

TEST(TableEditing, DeleteMovesToNextOrPrior) {
    Users u;
    for (const char* n : {"1", "2", "3"}) u.Add("u", n);
    ASSERT_TRUE(u.t.FindKey({"u", "2"}));
    u.t.Delete();
    EXPECT_EQ(u.t.FieldByName("Name").AsString(), "3");
    u.t.Delete();
    EXPECT_EQ(u.t.FieldByName("Name").AsString(), "1");
    EXPECT_FALSE(u.t.Eof());
    // The usual delete loop ends.
    u.Add("u", "4");
    u.t.First();
    int guard = 0;
    while (!u.t.Eof() && ++guard < 10) {
        if (u.t.FieldByName("Name").AsString() == "4") u.t.Delete();
        else u.t.Next();
    }
    EXPECT_EQ(u.Rows(), std::vector<std::string>{"u/1"});
}

TEST(TableEditing, KeyEntryAndIndexFields) {
    Users u;
    EXPECT_TRUE(u.t.IsIndexField(u.t.FieldByName("User")));
    EXPECT_FALSE(u.t.IsIndexField(u.t.FieldByName("N")));
    u.t.SetIndexName("");
    EXPECT_FALSE(u.t.IsIndexField(u.t.FieldByName("User")));
}

TEST(TableFile, LoadReplacesDefinitionsAndKeepsIndexWhenPresent) {
    Users src;
    src.Add("a", "1");
    std::string bytes = src.t.SaveToBinaryString();
    TvdlMemTable t;
    t.FieldDefs().Add("X", ftString, 5);
    t.CreateTable();
    t.AddIndex("ixOther", "X", 0);
    t.Open();
    t.SetIndexName("ixOther");
    t.LoadFromBinaryString(bytes);
    EXPECT_EQ(t.FindField("X"), nullptr);
    EXPECT_NO_THROW(t.SetIndexName("ixUser"));
    EXPECT_EQ(Message([&] { t.SetIndexName("ixOther"); }), "Index ixOther does not exist");
    // A file without definitions appends to the records the table holds.
    std::string bare = src.t.SaveToBinaryString(mtfSaveData);
    t.LoadFromBinaryString(bare);
    EXPECT_EQ(t.RecordCount(), 2);
}

}  // namespace
