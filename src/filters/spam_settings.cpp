// The running spam filter: its settings in [Spam], [SpamWords] and
// [SpamUsers], and the safe list spam.dat with its one owner.
#include "filters/spam.h"

#include "filters/shown.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/table_files.h"
#include "transport/table_owner.h"
#include "transport/globals.h"

#include <algorithm>

namespace spam {

namespace {

TSpamFilter* running = nullptr;

std::string IniPath() { return settings::IniPath(); }
std::string SpamDat() { return ProgramDir + "spam.dat"; }

void ReadWords(platform::IniFile& ini, const std::string& prefix, std::vector<std::string>& words) {
    for (int n = 1;; ++n) {
        std::string w = ini.ReadString("SpamWords", prefix + std::to_string(n), WordListEnd);
        if (w == WordListEnd) break;
        words.push_back(std::move(w));
    }
}

}  // namespace

void DefineSpamTable(TvdlMemTable& t) {
    t.Close();
    t.FieldDefs().Clear();
    t.FieldDefs().Add("Type", ftInteger);
    t.FieldDefs().Add("Item", ftString, static_cast<int>(ItemSize));
    t.CreateTable();
    t.IndexDefs().Clear();
    t.AddIndex("ixType", "Type;Item", ixPrimary);
}

tables::TableOwner& SafeList() {
    static tables::TableOwner owner("spam.dat", {"Type", "Item"});
    return owner;
}

Settings ReadSettings(const std::vector<std::string>& users) {
    platform::IniFile ini(IniPath());
    Settings s;
    s.checkSpam = ini.ReadBool("Spam", "CheckSpam", false);
    s.webBookmark = ini.ReadBool("Spam", "ShowBoomark", true);
    s.webLimited = ini.ReadBool("Spam", "PageLimited", true);
    s.webPageLimit = std::clamp(ini.ReadInteger("Spam", "PageLimit", 100), MinPageLimit, MaxPageLimit);
    s.previewSize = std::clamp(ini.ReadInteger("Spam", "PreviewSize", 50), MinPreview, MaxPreview);
    s.oneLine = ini.ReadBool("Spam", "OneLine", false);
    s.twoLines = ini.ReadBool("Spam", "TwoLine", true);
    s.report = ini.ReadBool("Spam", "Report", false);
    s.reportEvery = ini.ReadBool("Spam", "ReportEvery", true);
    s.reportDaily = ini.ReadBool("Spam", "ReportDaily", false);
    s.reportEveryAmount =
        std::clamp(ini.ReadInteger("Spam", "ReportEveryAmount", 10), MinReportEvery, MaxReportEvery);
    const QTime reportTime = settings::TimeFromText(ini.ReadString("Spam", "ReportDailyTime", "17:00"));
    s.reportTime = reportTime.isValid() ? reportTime : QTime(17, 0);
    s.addOutAddress = ini.ReadBool("Spam", "AddOutAddress", true);

    // A report user who is no longer a local user gets no reports.
    const std::string reportUser = ini.ReadString("Spam", "ReportUser", "");
    if (std::find(users.begin(), users.end(), reportUser) != users.end()) s.reportUser = reportUser;
    for (const auto& u : users)
        if (ini.ReadBool("SpamUsers", u, false)) s.badUsers.push_back(u);
    s.badUsersShown = ini.ReadBool("SpamUsers", "Use", false);

    if (!ini.ReadBool("Spam", "SpamWordsInstalled", false)) {
        s.goodWords = BuiltInGoodWords();
        s.badWords = BuiltInBadWords();
    }
    ReadWords(ini, "Good", s.goodWords);
    ReadWords(ini, "Bad", s.badWords);
    return s;
}

void WriteSettings(const Settings& s) {
    platform::IniFile ini(IniPath());
    ini.WriteBool("Spam", "CheckSpam", s.checkSpam);
    ini.WriteBool("Spam", "ShowBoomark", s.webBookmark);
    ini.WriteBool("Spam", "PageLimited", s.webLimited);
    ini.WriteInteger("Spam", "PageLimit", s.webPageLimit);
    ini.WriteInteger("Spam", "PreviewSize", s.previewSize);
    ini.WriteBool("Spam", "OneLine", s.oneLine);
    ini.WriteBool("Spam", "TwoLine", s.twoLines);
    ini.WriteBool("Spam", "Report", s.report);
    ini.WriteString("Spam", "ReportUser", platform::IniSafe(s.reportUser));
    ini.WriteBool("Spam", "ReportEvery", s.reportEvery);
    ini.WriteBool("Spam", "ReportDaily", s.reportDaily);
    ini.WriteInteger("Spam", "ReportEveryAmount", s.reportEveryAmount);
    ini.WriteString("Spam", "ReportDailyTime", settings::TimeToText(s.reportTime));
    ini.WriteBool("Spam", "AddOutAddress", s.addOutAddress);
    ini.WriteBool("Spam", "SpamWordsInstalled", true);

    ini.EraseSection("SpamWords");
    auto writeWords = [&ini](const std::vector<std::string>& words, const std::string& prefix) {
        int n = 0;
        for (const std::string& w : words) {
            if (w.empty()) continue;
            ini.WriteString("SpamWords", prefix + std::to_string(++n), platform::IniSafe(w));
        }
    };
    writeWords(s.goodWords, "Good");
    writeWords(s.badWords, "Bad");

    ini.EraseSection("SpamUsers");
    ini.WriteBool("SpamUsers", "Use", s.badUsersShown);
    if (s.badUsersShown)
        for (const auto& u : s.badUsers) ini.WriteBool("SpamUsers", platform::IniSafe(u), true);
}

TSpamFilter::TSpamFilter() { running = this; }

TSpamFilter::~TSpamFilter() {
    if (running != this) return;
    running = nullptr;
    SafeList().Close();
}

TSpamFilter* Filter() { return running; }

void TSpamFilter::CreateSafeListFile() {
    if (platform::FileExists(SpamDat())) return;
    TvdlMemTable t;
    DefineSpamTable(t);
    t.Open();
    tables::SaveTableFile(t, SpamDat());
}

void TSpamFilter::Load() {
    // A damaged spam.dat must not take the filter down with it for the
    // whole run: it is set aside as <name>.bad like the other tables, with
    // the entries before the damage kept, and the person is told there.
    TvdlMemTable t;
    tablefiles::LoadOrCreate(t, SpamDat(), [](TvdlMemTable& table) {
        DefineSpamTable(table);
        table.Open();
    });
    tablefiles::SelectIndex(t, "ixType");
    SafeList().Adopt(t);
    settings_ = ReadSettings(tables::UserNames());
}

}  // namespace spam
