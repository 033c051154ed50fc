// Times the table's main paths over a users-like table of 100,000 records:
// filling it, saving and loading the data file, FindKey, key ranges and a
// Locate that must scan. Run by hand; prints one line per measurement.
#include "tables/memtable.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void Define(TvdlMemTable& t) {
    t.FieldDefs().Clear();
    t.FieldDefs().Add("User", ftString, 64);
    t.FieldDefs().Add("Name", ftString, 64);
    t.FieldDefs().Add("Password", ftString, 64);
    t.FieldDefs().Add("Received", ftDate);
    t.FieldDefs().Add("Count", ftInteger);
    t.CreateTable();
    t.IndexDefs().Clear();
    t.AddIndex("ixUser", "User;Name", ixPrimary);
    t.Open();
    t.SetIndexName("ixUser");
}

std::string UserName(int u) { return "user" + std::to_string(u * 7919 % 1000); }
std::string ItemName(int n) { return "item-" + std::to_string(n * 31 % 100) + "@example.org"; }

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int users = 1000, perUser = records / users;
    char tmpl[] = "/tmp/tw_tables_bench_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    std::string file = dir + "/users.dat";

    TvdlMemTable t;
    Define(t);
    auto t0 = Clock::now();
    for (int u = 0; u < users; ++u)
        for (int n = 0; n < perUser; ++n) {
            t.Append();
            t.FieldByName("User").SetAsString(UserName(u));
            t.FieldByName("Name").SetAsString(ItemName(n));
            t.FieldByName("Password").SetAsString("secret" + std::to_string(n));
            t.FieldByName("Received").SetAsDateTime(46000 + n % 365);
            t.FieldByName("Count").SetAsInteger(u * perUser + n);
            t.Post();
        }
    auto t1 = Clock::now();
    std::printf("append+post %d records (indexed): %9.1f ms\n", t.RecordCount(), Ms(t0, t1));

    t0 = Clock::now();
    t.SaveToBinaryFile(file);
    t1 = Clock::now();
    std::printf("save to file (%ju bytes):     %9.1f ms\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(file)), Ms(t0, t1));

    TvdlMemTable back;
    back.FieldDefs().Add("User", ftString, 64);
    back.CreateTable();
    back.Open();
    t0 = Clock::now();
    back.LoadFromBinaryFile(file);
    back.SetIndexName("ixUser");
    t1 = Clock::now();
    std::printf("load from file:                  %9.1f ms (%d records)\n", Ms(t0, t1), back.RecordCount());

    std::mt19937 rng(7);
    const int lookups = 100000;
    int found = 0;
    t0 = Clock::now();
    for (int i = 0; i < lookups; ++i) {
        int u = static_cast<int>(rng() % users), n = static_cast<int>(rng() % perUser);
        found += back.FindKey({UserName(u), ItemName(n)});
    }
    t1 = Clock::now();
    std::printf("FindKey x%d (%d found):     %9.1f ms (%.2f us each)\n", lookups, found, Ms(t0, t1),
                Ms(t0, t1) * 1000.0 / lookups);

    const int ranges = 1000;
    long rows = 0;
    t0 = Clock::now();
    for (int i = 0; i < ranges; ++i) {
        std::string u = UserName(static_cast<int>(rng() % users));
        back.SetRange({u}, {u});
        for (back.First(); !back.Eof(); back.Next()) ++rows;
    }
    back.CancelRange();
    t1 = Clock::now();
    std::printf("SetRange+walk x%d (%ld rows):  %9.1f ms (%.1f us per range)\n", ranges, rows, Ms(t0, t1),
                Ms(t0, t1) * 1000.0 / ranges);

    const int locates = 100;
    t0 = Clock::now();
    for (int i = 0; i < locates; ++i) back.Locate("Count", static_cast<int>(rng() % records), 0);
    t1 = Clock::now();
    std::printf("Locate on a non-key field x%d:  %9.1f ms (%.2f ms each)\n", locates, Ms(t0, t1),
                Ms(t0, t1) / locates);

    std::filesystem::remove_all(dir);
    return 0;
}
