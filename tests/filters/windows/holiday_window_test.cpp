// The out-of-office entry dialog, as the settings window reaches it.
#include "filters/windows/holiday_window.h"

#include "filters/filters_env.h"
#include "settings/setup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

using Holiday = filters_test::FiltersEnv;

TEST_F(Holiday, EntryDialog) {
    TFrmHoliday dialog;
    FrmHoliday = &dialog;
    ASSERT_TRUE(setup::hooks.editHoliday);
    const TDateTime today = memtable::EncodeDate(2026, 3, 14);
    std::string user, subject = "Out of Office AutoReply: [Subject]", message;
    TDateTime end = today;
    int who = 0;

    // A new entry: OK needs a user and a message; an end date not after
    // today means none.
    TFrmHoliday::ExecForTesting = [](TFrmHoliday& d) {
        EXPECT_FALSE(d.CHBUntil->isChecked());
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.CBXUser->setCurrentText("carol");
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.MemoMessage->setPlainText("Away");
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.CHBUntil->setChecked(true);
        d.EditUntil->setDate(QDate(2026, 3, 14));
        d.RGBWho->SetItemIndex(2);
        return true;
    };
    ASSERT_TRUE(setup::hooks.editHoliday(user, subject, message, end, who));
    EXPECT_EQ(user, "carol");
    EXPECT_EQ(message, "Away");
    EXPECT_EQ(end, 0);
    EXPECT_EQ(who, 2);

    // An entry running until a later day shows it and keeps it.
    end = today + 10;
    TFrmHoliday::ExecForTesting = [](TFrmHoliday& d) {
        EXPECT_TRUE(d.CHBUntil->isChecked());
        EXPECT_EQ(d.EditUntil->date(), QDate(2026, 3, 24));
        EXPECT_EQ(d.RGBWho->ItemIndex(), 2);
        return true;
    };
    ASSERT_TRUE(holiday::EditEntry(user, subject, message, end, who));
    EXPECT_EQ(end, today + 10);

    // Cancel leaves everything as it was.
    TFrmHoliday::ExecForTesting = [](TFrmHoliday& d) {
        d.MemoMessage->setPlainText("changed");
        return false;
    };
    EXPECT_FALSE(holiday::EditEntry(user, subject, message, end, who));
    EXPECT_EQ(message, "Away");
    TFrmHoliday::ExecForTesting = nullptr;
    FrmHoliday = nullptr;
}

}  // namespace
