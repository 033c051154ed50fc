// The stored-password schemes and the settings-password gate. The enciphered
// texts are compared with an independent reference (python3-cryptography's
// Blowfish and hashlib), because files written by earlier versions must
// still decipher.
#include "settings/pw.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/inifile.h"
#include "transport/globals.h"
#include "codecs/crypto_reference.h"

namespace {

using namespace std::string_literals;

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz1234567890_-";
const std::string kCodeTable = "zA9yB8xC7wD6vE5uF4tG3sH2rI1qJ0pK_oL-nMmNlOkPjQiRhSgTfUeVdWcXbYaZ";

using cryptoref::FromHex;

using cryptoref::Reference;

void EnsureApplication() {
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_settings";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

// ---------------------------------------------------------------- substitution

TEST(PwSubstitution, MapsTheAlphabetOntoTheCodeTable) {
    EXPECT_EQ(PW::EncodeText(kAlphabet), kCodeTable);
    EXPECT_EQ(PW::DecodeText(kCodeTable), kAlphabet);
    // Values already stored in settings files.
    EXPECT_EQ(PW::EncodeText("Secret_1-x"), "tpJPpQafZS");
    EXPECT_EQ(PW::DecodeText("10mLN"), "admin");
}

TEST(PwSubstitution, EveryTextComesBackWhole) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
    const std::string cases[] = {
        "",
        kAlphabet,
        "pass word",           // a blank is not in the alphabet
        "p@ss!w0rd#=%",
        "\"quoted\"",
        "gr\xc3\xbc\xc3\x9f" "e",  // UTF-8 from the entry field
        "nul\0inside"s,
        everyByte,
    };
    for (const std::string& text : cases) {
        const std::string encoded = PW::EncodeText(text);
        EXPECT_EQ(encoded.size(), text.size());
        EXPECT_EQ(PW::DecodeText(encoded), text) << text;
    }
    // Characters outside the alphabet are kept as they are.
    EXPECT_EQ(PW::EncodeText("a b!"), PW::EncodeText("a") + " " + PW::EncodeText("b") + "!");
}

// ---------------------------------------------------------------- cipher

TEST(PwCipher, MatchesIndependentReference) {
    const auto rows = Reference("pw");
    ASSERT_GE(rows.size(), 65u) << "reference script failed";
    for (int withWindow = 0; withWindow < 2; ++withWindow) {
        // The routines work before the password window exists and through
        // its cipher afterwards, with the same results.
        std::unique_ptr<TFrmPW> window;
        if (withWindow) {
            EnsureApplication();
            window = std::make_unique<TFrmPW>();
            FrmPW = window.get();
        }
        for (const auto& row : rows) {
            ASSERT_EQ(row.size(), 2u);
            const std::string plain = FromHex(row[0]);
            const std::string text = row[1] == "-" ? "" : row[1];
            EXPECT_EQ(PW::EncryptPassword(plain), text) << plain.size() << " bytes";
            EXPECT_EQ(PW::DecryptPassword(text), plain) << text;
        }
        if (window) {
            EXPECT_FALSE(window->BlowfishCipher1.Initialized()) << "key left behind";
            window.reset();
            EXPECT_EQ(FrmPW, nullptr);
        }
    }
}

TEST(PwCipher, RoundTripsRandomBytes) {
    std::mt19937 rng(1207);
    for (int round = 0; round < 5; ++round)
        for (std::size_t n = 0; n <= 64; ++n) {
            std::string plain(n, '\0');
            for (char& c : plain) c = static_cast<char>(rng());
            const std::string text = PW::EncryptPassword(plain);
            EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
            EXPECT_EQ(text.find_first_of("\r\n\0 "s), std::string::npos);
            EXPECT_EQ(PW::DecryptPassword(text), plain) << n << " bytes";
        }
}

TEST(PwCipher, DamagedTextDoesNoHarm) {
    const std::string cases[] = {"!", "====", "A", "AB", "\xff\xfe\x80", "Zm9v YmFy\r\n", "*&^%$#"};
    for (const std::string& text : cases) {
        std::string plain;
        EXPECT_NO_THROW(plain = PW::DecryptPassword(text)) << text;
        EXPECT_LE(plain.size(), text.size());
    }
}

// ---------------------------------------------------------------- settings password

TEST(PwSettingsPassword, AcceptsOnlyTheStoredPassword) {
    const struct {
        std::string stored;  // as written by the settings window
        std::string typed;
        bool accepted;
    } cases[] = {
        {"Secret1", "Secret1", true},
        {"Secret1", "secret1", false},
        {"Secret1", "Secret", false},
        {"Secret1", "", false},  // cancelled
        {"p w!", "p w!", true},
    };
    for (const auto& c : cases) {
        int asked = 0;
        const bool ok = PW::SettingsPasswordAccepted(PW::EncodeText(c.stored), [&] {
            ++asked;
            return c.typed;
        });
        EXPECT_EQ(ok, c.accepted) << c.stored << " / " << c.typed;
        EXPECT_EQ(asked, 1);
    }
    int asked = 0;
    EXPECT_TRUE(PW::SettingsPasswordAccepted("", [&] {
        ++asked;
        return std::string("x");
    }));
    EXPECT_EQ(asked, 0) << "no password set, yet asked for one";
}

class PwSettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        ASSERT_TRUE(dir_.isValid());
        savedDir_ = ProgramDir;
        ProgramDir = dir_.path().toStdString() + "/";
        frm_ = std::make_unique<TFrmPW>();
        FrmPW = frm_.get();
    }
    void TearDown() override {
        platform::SetDialogHandlerForTesting({});
        frm_.reset();
        ProgramDir = savedDir_;
    }
    void StoreId(const std::string& password) {
        platform::IniFile ini(ProgramDir + "tarnwick.ini");
        ASSERT_TRUE(ini.WriteString("SMTP", "ID", PW::EncodeText(password)));
    }
    // Answers the prompt with the given entry (nullptr: Cancel); counts calls.
    void Answer(const char* entry) {
        platform::SetDialogHandlerForTesting([this, entry](platform::DialogCall& call) {
            ++prompts_;
            caption_ = call.caption;
            prompt_ = call.text;
            if (!entry || !call.value) return platform::MsgResult::Cancel;
            *call.value = entry;
            return platform::MsgResult::Ok;
        });
    }

    QTemporaryDir dir_;
    std::string savedDir_;
    std::unique_ptr<TFrmPW> frm_;
    int prompts_ = 0;
    std::string caption_, prompt_;
};

TEST_F(PwSettingsFile, GateAsksThroughThePasswordWindow) {
    StoreId("Admin_42");
    const struct {
        const char* entry;
        bool accepted;
    } cases[] = {{"Admin_42", true}, {"admin_42", false}, {"", false}, {nullptr, false}};
    for (const auto& c : cases) {
        Answer(c.entry);
        EXPECT_EQ(PW::CheckSettingsPassword(), c.accepted) << (c.entry ? c.entry : "(cancel)");
    }
    EXPECT_EQ(prompts_, 4);
    EXPECT_EQ(caption_, "Password");
    EXPECT_EQ(prompt_, "Enter password:");
}

TEST_F(PwSettingsFile, NoPasswordOpensWithoutAsking) {
    Answer("anything");
    EXPECT_TRUE(PW::CheckSettingsPassword());  // no file at all
    StoreId("");
    EXPECT_TRUE(PW::CheckSettingsPassword());
    EXPECT_EQ(prompts_, 0);
}

TEST_F(PwSettingsFile, PasswordWithOuterBlanksOrQuotesStillOpens) {
    // The settings file drops blanks at the ends of a value and one pair of
    // quotes around it; such a password must not lock the administrator out.
    const char* passwords[] = {" padded ", "\"quoted\"", "'single'", "\tx"};
    for (const char* password : passwords) {
        StoreId(password);
        Answer(password);
        EXPECT_TRUE(PW::CheckSettingsPassword()) << password;
    }
}

TEST_F(PwSettingsFile, WindowShowsTheProgramsTexts) {
    EXPECT_EQ(frm_->windowTitle(), "Password");
    EXPECT_EQ(frm_->Label1->text(), "Enter password:");
    EXPECT_EQ(frm_->BtnOK->text(), "OK");
    EXPECT_EQ(frm_->BtnCancel->text(), "Cancel");
    EXPECT_EQ(frm_->EditPW->echoMode(), QLineEdit::Password);
    EXPECT_EQ(frm_->EditPW->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                               frm_->EditPW),
              '*');
    // An earlier entry is never offered again.
    frm_->EditPW->setText("left over");
    Answer(nullptr);
    std::string text = "stale";
    frm_->Execute(text);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(frm_->EditPW->text().isEmpty());
}

}  // namespace
