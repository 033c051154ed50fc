// What the spam filter's tests and its windows' tests share: the clock
// times they set, the users file, and reading what the filter wrote.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
#include "tables/memtable.h"
#include "transport/account_tables.h"
#include "transport/globals.h"
#include "transport/table_owner.h"

#include <string>
#include <vector>

namespace spamtest {

// A moment of 7 December 2026 (or another day of that month).
inline platform::SystemTime December(int day, int hour, int minute, int second = 0, int millisecond = 0) {
    platform::LocalTime lt;
    lt.year = 2026;
    lt.month = 12;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = second;
    lt.millisecond = millisecond;
    return platform::FromLocal(lt);
}

// users.dat with these users (password "pw"); adopt: the engine's owner
// takes them too, as start-up would.
inline void WriteUsers(const std::vector<std::string>& names, bool adopt) {
    TvdlMemTable t;
    settings::DefineUsersTable(t);
    for (const auto& n : names) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.FieldByName("Password").SetAsString("pw");
        t.Post();
    }
    t.SaveToBinaryFile(ProgramDir + "users.dat");
    if (adopt) tables::Users().Adopt(t);
}

inline std::string ReadText(const std::string& path) {
    std::string s;
    platform::ReadFile(path, s);
    return s;
}

}  // namespace spamtest
