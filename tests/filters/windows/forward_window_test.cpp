// The forwarding dialog, as the settings window reaches it.
#include "filters/windows/forward_window.h"

#include "filters/filters_env.h"
#include "settings/setup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

using Forward = filters_test::FiltersEnv;

TEST_F(Forward, ForwardDialog) {
    TFrmForward dialog;
    FrmForward = &dialog;
    ASSERT_TRUE(setup::hooks.editForward);
    std::string user, to;
    bool copy = false, isLocal = false;
    TFrmForward::ExecForTesting = [](TFrmForward& d) {
        EXPECT_FALSE(d.BtnOK->isEnabled());
        EXPECT_EQ(d.CHBCopy->text().toStdString(), "Keep a copy of message in user's inbox");
        d.CBXUser->setCurrentText("bob");
        EXPECT_EQ(d.CHBCopy->text().toStdString(), "Keep a copy of message in bob's inbox");
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.EditExternal->setText("bob@home.example");
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.CHBCopy->setChecked(true);
        return true;
    };
    ASSERT_TRUE(setup::hooks.editForward(user, to, copy, isLocal));
    EXPECT_EQ(user, "bob");
    EXPECT_EQ(to, "bob@home.example");
    EXPECT_TRUE(copy);
    EXPECT_FALSE(isLocal);

    // Editing a local row shows it; switching to a local target needs a user.
    user = "alice";
    to = "carol";
    isLocal = true;
    copy = false;
    TFrmForward::ExecForTesting = [](TFrmForward& d) {
        EXPECT_TRUE(d.RBTLocal->isChecked());
        EXPECT_EQ(d.CBXLocal->currentText().toStdString(), "carol");
        EXPECT_TRUE(d.EditExternal->text().isEmpty());
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.CBXLocal->setCurrentIndex(-1);
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.CBXLocal->setCurrentText("bob");
        return true;
    };
    ASSERT_TRUE(forward::EditForward(user, to, copy, isLocal));
    EXPECT_EQ(to, "bob");
    EXPECT_TRUE(isLocal);
    EXPECT_FALSE(copy);
    TFrmForward::ExecForTesting = nullptr;
    FrmForward = nullptr;
}

}  // namespace
