// The add-in window and the rule dialog: the installed add-ins, the rule
// list's editing, storage and publication to the rules engine.
#include "filters/windows/rule_window.h"
#include "filters/windows/addins_window.h"
#include "filters/holiday.h"

#include "filters/rules_env.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdlib>
#include <map>

namespace {

using AddInRule::TRule;

class AddinWindows : public rules_test::RulesEnv {
protected:
    void TearDown() override {
        rules_test::RulesEnv::TearDown();
        TFrmRule::ExecForTesting = nullptr;
    }
    void Start() override { StartWindows(); }
    void Stop() override { StopWindows(); }

    // The add-in window and the rule dialog, in start-up order.
    void StartWindows() {
        addins_ = std::make_unique<TFrmAddins>();
        FrmAddins = addins_.get();
        rule_ = std::make_unique<TFrmRule>();
        FrmRule = rule_.get();
    }
    void StopWindows() {
        FrmRule = nullptr;
        rule_.reset();
        FrmAddins = nullptr;
        addins_.reset();
    }

    std::unique_ptr<TFrmAddins> addins_;
    std::unique_ptr<TFrmRule> rule_;
};

TEST_F(AddinWindows, ListingShowsLibrariesWithNameAndDescription) {
    std::map<std::string, std::vector<std::string>> rows;
    for (int i = 0; i < FrmAddins->ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = FrmAddins->ListView1->topLevelItem(i);
        std::vector<std::string> cols;
        for (int c = 0; c < Addins::AddinColumnCount; ++c) cols.push_back(item->text(c).toStdString());
        rows[cols[0]] = cols;
    }
    const std::string folder = smtp::StoreFolder(smtp::FolderAddins);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"both.so", {"both.so", "1.0.0.0", "Both", "Two entry points", folder + "both.so"}},
        {"crash.so", {"crash.so", "", "Crasher", "Dies", folder + "crash.so"}},
        {"legacy.so", {"legacy.so", "", "Legacy", "Old style", folder + "legacy.so"}},
        {"stamp.so", {"stamp.so", "2.5.1.0", "Stamper", "Adds a header line", folder + "stamp.so"}},
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(Addins::GetFileVersion(folder + "broken.so"), "");
    EXPECT_EQ(Addins::GetFileVersion(folder + "missing.so"), "");
}

TEST_F(AddinWindows, ParamsAndConfigureButtons) {
    auto select = [&](const char* name) {
        auto found = FrmAddins->ListView1->findItems(name, Qt::MatchExactly, Addins::colAddinName);
        ASSERT_EQ(found.size(), 1);
        FrmAddins->ListView1->setCurrentItem(found[0]);
    };
    select("Stamper");
    EXPECT_TRUE(FrmAddins->BtnParams->isEnabled());
    EXPECT_FALSE(FrmAddins->BtnConfigAddin->isEnabled());
    FrmAddins->BtnParams->click();
    select("Legacy");
    FrmAddins->BtnParams->click();
    EXPECT_FALSE(FrmAddins->BtnConfigAddin->isEnabled());
    FrmAddins->BtnConfigAddinClick();
    EXPECT_EQ(messages, (std::vector<std::string>{"The text to add", "Addin doesn't have params.",
                                                  "Addin doesn't require configuring."}));

    // The add-in's own section says whether it can be configured.
    Ini().WriteBool("Stamper", "Configure", true);
    select("Legacy");
    select("Stamper");
    EXPECT_TRUE(FrmAddins->BtnConfigAddin->isEnabled());
    const std::string mark = Dir() + "configured";
    setenv("TW_TEST_CONFIGURE_MARK", mark.c_str(), 1);
    FrmAddins->BtnConfigAddin->click();
    unsetenv("TW_TEST_CONFIGURE_MARK");
    EXPECT_TRUE(platform::FileExists(mark));
}

TEST_F(AddinWindows, AddButtonPointsToTheAddinsFolder) {
    FrmAddins->BtnAdd->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Addins come in the form of DLLs and must be put in the " + ProgramDir +
                               "Addins folder. Most of them are free.  You can download them from " +
                               TFrmAddins::AddinsPage() + " - would you like to visit the addins page now?");
}

TEST_F(AddinWindows, RuleListIsLiveAndStoredByApply) {
    QTreeWidget* list = FrmAddins->ListView2;
    ASSERT_EQ(list->topLevelItemCount(), 0);
    // Add through the dialog: OK only with a name and a first add-in.
    TFrmRule::ExecForTesting = [](TFrmRule& d) {
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.EditName->setText("Stamp fetched mail");
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.CBXAddin1->setCurrentText("Stamper");
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.EditParams1->setText("live");
        d.CheckBox2->setChecked(false);
        d.CheckBox4->setChecked(true);
        d.CBXHeader->setEditText("Subject:");
        d.EditHeaderText->setText("hello");
        return true;
    };
    FrmAddins->BtnAddRule->click();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_TRUE(FrmAddins->BtnApply->isEnabled());

    // The unsaved rule already counts.
    const std::string file = Message();
    AddInRule::ApplyRules(file, "bob", 0, true, holiday::LoadHeaderLines(file));
    AddInRule::ApplyRules(file, "bob", 0, false, holiday::LoadHeaderLines(file));
    EXPECT_EQ(Added(file), (std::vector<std::string>{"X-Stamper-new: kind=0 params=live user=bob"}));
    EXPECT_FALSE(Ini().SectionExists("Rules"));

    FrmAddins->BtnApply->click();
    EXPECT_FALSE(FrmAddins->BtnApply->isEnabled());
    const TRule stored = AddInRule::LiveRules().at(0);
    EXPECT_EQ(Ini().ReadString("Rules", "Name1", ""), "Stamp fetched mail");
    EXPECT_EQ(Ini().ReadString("Rules", "User1", ""), "All Users");
    EXPECT_EQ(Ini().ReadString("Rules", "Internal1", ""), "no");
    EXPECT_EQ(Ini().ReadString("Rules", "Header1", ""), "Subject:");
    EXPECT_EQ(Ini().ReadString("AddIns", "Name4", ""), "Stamper");

    // Unticking counts at once; Cancel brings back the stored list.
    list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    EXPECT_TRUE(FrmAddins->BtnApply->isEnabled());
    EXPECT_FALSE(AddInRule::LiveRules().at(0).Active);
    FrmAddins->BtnCancel->click();
    const TRule reloaded = AddInRule::LiveRules().at(0);
    EXPECT_TRUE(reloaded.Active);
    EXPECT_EQ(reloaded.HeaderLookFor, stored.HeaderLookFor);
    EXPECT_EQ(reloaded.Addin[0], "Stamper");
    EXPECT_EQ(reloaded.Params[0], "live");

    // Stored rules come back after a restart.
    StopWindows();
    StartWindows();
    ASSERT_EQ(FrmAddins->ListView2->topLevelItemCount(), 1);
    EXPECT_EQ(AddInRule::LiveRules().at(0).Name, "Stamp fetched mail");
}

TEST_F(AddinWindows, CopyMoveAndDelete) {
    QTreeWidget* list = FrmAddins->ListView2;
    for (const char* name : {"A", "B", "C"}) Addins::RuleToRow(Rule(name, "Stamper"), new QTreeWidgetItem(list));
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& r : AddInRule::LiveRules()) out.push_back(r.Name);
        return out;
    };
    list->setCurrentItem(list->topLevelItem(0));
    EXPECT_FALSE(FrmAddins->BtnUp->isEnabled());
    EXPECT_TRUE(FrmAddins->BtnDown->isEnabled());

    // Copy, then Cancel in the dialog: as before.
    TFrmRule::ExecForTesting = [](TFrmRule& d) {
        EXPECT_EQ(d.EditName->text().toStdString(), "Copy of A");
        return false;
    };
    FrmAddins->BtnCopyRule->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 0);

    TFrmRule::ExecForTesting = [](TFrmRule&) { return true; };
    FrmAddins->BtnCopyRule->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "C", "Copy of A"}));

    FrmAddins->BtnUp->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "Copy of A", "C"}));
    list->setCurrentItem(list->topLevelItem(0));
    FrmAddins->BtnDown->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"B", "A", "Copy of A", "C"}));
    EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 1);

    list->setCurrentItem(list->topLevelItem(3));
    FrmAddins->BtnDelRule->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"B", "A", "Copy of A"}));
    EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 2);
    EXPECT_FALSE(FrmAddins->BtnDown->isEnabled());
}

TEST_F(AddinWindows, EditRuleShowsTheRow) {
    TRule r = Rule("Spam stamp", "Legacy", "p1");
    r.InTo = "Any Spam";
    r.POP = "yes";
    r.Internal = "Yes";  // only the exact "yes" ticks the box
    r.Spam = "yes";
    r.OutFrom = "";
    auto* item = new QTreeWidgetItem(FrmAddins->ListView2);
    Addins::RuleToRow(r, item);
    TFrmRule::ExecForTesting = [](TFrmRule& d) {
        EXPECT_EQ(d.EditName->text().toStdString(), "Spam stamp");
        EXPECT_TRUE(d.CHBIncoming->isChecked());
        EXPECT_EQ(d.CBXUsers->currentText().toStdString(), "Any Spam");
        EXPECT_TRUE(d.CheckBox1->isChecked());
        EXPECT_FALSE(d.CheckBox2->isChecked());
        EXPECT_FALSE(d.CHBOutgoing->isChecked());
        EXPECT_FALSE(d.CBXUsers2->isEnabled());
        EXPECT_EQ(d.CBXAddin1->currentText().toStdString(), "Legacy");
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.CHBOutgoing->setChecked(true);
        d.CBXUsers2->setCurrentText("carol");
        return true;
    };
    EXPECT_TRUE(AddInRule::EditRule(item));
    const TRule edited = Addins::RowToRule(item);
    EXPECT_EQ(edited.OutFrom, "carol");
    EXPECT_EQ(edited.Internal, "no");
    EXPECT_EQ(edited.Addin[0], "Legacy");
}

}  // namespace
