// Audit window: audit.dat is loaded (or made anew) and trimmed to the last
// seven days at creation.
#include "browser/audit.h"

#include <QTableView>

#include "browser_env.h"

namespace {

TDateTime DaysAgo(double days) {
    const platform::LocalTime lt = platform::ToLocal(browsertest::Now());
    return memtable::EncodeDate(lt.year, lt.month, lt.day) + memtable::EncodeTime(lt.hour, lt.minute, 0, 0) - days;
}

class Audit : public browsertest::BrowserEnv {
protected:
    void WriteAudit(const std::vector<std::pair<double, std::string>>& entries) {
        TvdlMemTable t;
        TFrmAudit::DefineAuditTable(t);
        for (const auto& [age, from] : entries) {
            t.Append();
            t.FieldByName("DateTime").SetAsDateTime(DaysAgo(age));
            t.FieldByName("Type").SetAsString("Relay");
            t.FieldByName("WhoFrom").SetAsString(from);
            t.Post();
        }
        t.SaveToBinaryFile(Path("audit.dat"));
    }
    std::vector<std::string> Shown(TFrmAudit& form) {
        std::vector<std::string> rows;
        QAbstractItemModel* m = form.DBGrid2->model();
        for (int r = 0; r < m->rowCount(); ++r) rows.push_back(m->index(r, 2).data().toString().toStdString());
        return rows;
    }
};

TEST_F(Audit, EntriesOlderThanSevenDaysGo) {
    WriteAudit({{8, "eight"}, {6, "six"}, {7.01, "just over"}, {0.5, "today"}, {30, "month"}});
    TFrmAudit form;
    // Newest first: the index is descending.
    EXPECT_EQ(Shown(form), (std::vector<std::string>{"today", "six"}));
    QAbstractItemModel* m = form.DBGrid2->model();
    std::vector<std::string> titles;
    for (int c = 0; c < m->columnCount(); ++c)
        titles.push_back(m->headerData(c, Qt::Horizontal).toString().toStdString());
    EXPECT_EQ(titles, (std::vector<std::string>{"Event", "Type", "From", "To", "Comments/error"}));
}

TEST_F(Audit, UnreadableOrMissingFileIsReplacedByAnEmptyLog) {
    for (const char* content : std::initializer_list<const char*>{"garbage that is no table", nullptr}) {
        std::remove(Path("audit.dat").c_str());
        if (content) Put("audit.dat", content);
        TFrmAudit form;
        EXPECT_EQ(form.DBGrid2->model()->rowCount(), 0);
        TvdlMemTable reread;
        reread.LoadFromBinaryFile(Path("audit.dat"));
        std::vector<std::string> fields;
        for (int i = 0; i < reread.FieldCount(); ++i) fields.push_back(reread.Fields(i).FieldName);
        EXPECT_EQ(fields, (std::vector<std::string>{"DateTime", "Type", "User", "WhoFrom", "WhoTo", "Error"}));
        reread.SetIndexName("ixDate");
        EXPECT_TRUE(reread.IsEmpty());
    }
}

// The window works on the table's one owner: a row another writer adds
// while it is open is shown at once, is in the file, and a later window
// (or the same one created again) keeps it instead of an older copy.
TEST_F(Audit, RowsOfOtherWritersAreShownAndNeverOverwritten) {
    WriteAudit({{6, "six"}, {0.5, "today"}});
    TFrmAudit form;
    ASSERT_EQ(Shown(form), (std::vector<std::string>{"today", "six"}));
    ASSERT_TRUE(tables::Audit().Change(ProgramDir, [](TvdlMemTable& t) {
        t.Append();
        t.FieldByName("DateTime").SetAsDateTime(DaysAgo(0.1));
        t.FieldByName("Type").SetAsString("Relay");
        t.FieldByName("WhoFrom").SetAsString("newer");
        t.Post();
    }));
    EXPECT_EQ(Shown(form), (std::vector<std::string>{"newer", "today", "six"}));
    TvdlMemTable file;
    file.LoadFromBinaryFile(Path("audit.dat"));
    EXPECT_EQ(file.RecordCount(), 3);

    TFrmAudit later;
    EXPECT_EQ(Shown(later), (std::vector<std::string>{"newer", "today", "six"}));
    form.FormCreate();
    EXPECT_EQ(Shown(form), (std::vector<std::string>{"newer", "today", "six"}));
}

}  // namespace
