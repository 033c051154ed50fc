// Stored-password schemes and the settings-password prompt.
#include "settings/pw.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/dialogs.h"
#include "platform/inifile.h"
#include "transport/globals.h"

TFrmPW* FrmPW = nullptr;

namespace PW {

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz1234567890_-";
const std::string kCodeTable = "zA9yB8xC7wD6vE5uF4tG3sH2rI1qJ0pK_oL-nMmNlOkPjQiRhSgTfUeVdWcXbYaZ";
const std::string kPassPhrase = "tremvoxa";

std::string Substitute(const std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const std::size_t pos = from.find(c);
        // A character the table does not know stays as it is; dropping or
        // mangling it would leave a password nobody can type again.
        out += pos == std::string::npos ? c : to[pos];
    }
    return out;
}

// The cipher on the password window once it exists; before that (or in a
// program part without windows) a cipher of our own does the same work.
TBlowfishCipher& Cipher() {
    if (FrmPW) return FrmPW->BlowfishCipher1;
    static TBlowfishCipher own;
    return own;
}

// Runs one keyed operation and burns the key whatever happens.
template <typename Operation>
std::string WithFreshKey(Operation op) {
    TBlowfishCipher& cipher = Cipher();
    cipher.InitStr(kPassPhrase, &TSha1Hash::Create);
    try {
        std::string result = op(cipher);
        cipher.Burn();
        return result;
    } catch (...) {
        cipher.Burn();
        throw;
    }
}

// What the settings file gives back for a stored value: blanks at the ends
// and one pair of surrounding quotes are lost. The substitution keeps such
// characters as they are, so a password typed with them must be compared in
// the form in which it could be stored.
std::string AsStored(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r')) --e;
    std::string t = text.substr(b, e - b);
    if (t.size() >= 2 && ((t.front() == '"' && t.back() == '"') || (t.front() == '\'' && t.back() == '\'')))
        t = t.substr(1, t.size() - 2);
    return t;
}

}  // namespace

std::string EncodeText(const std::string& text) { return Substitute(text, kAlphabet, kCodeTable); }

std::string DecodeText(const std::string& text) { return Substitute(text, kCodeTable, kAlphabet); }

std::string EncryptPassword(const std::string& plain) {
    if (plain.empty()) return {};
    return WithFreshKey([&](TBlowfishCipher& c) { return c.EncryptString(plain); });
}

std::string DecryptPassword(const std::string& text) {
    if (text.empty()) return {};
    return WithFreshKey([&](TBlowfishCipher& c) { return c.DecryptString(text); });
}

bool SettingsPasswordAccepted(const std::string& storedId,
                              const std::function<std::string()>& askPassword) {
    const std::string password = DecodeText(storedId);
    if (password.empty()) return true;
    const std::string entry = askPassword();
    return entry == password || AsStored(entry) == password;
}

bool CheckSettingsPassword() {
    const platform::IniFile ini(ProgramDir + "tarnwick.ini");
    return SettingsPasswordAccepted(ini.ReadString("SMTP", "ID", ""), [] {
        std::string entry;
        if (FrmPW) {
            FrmPW->Execute(entry);
        } else {
            TFrmPW prompt;
            prompt.Execute(entry);
        }
        return entry;
    });
}

}  // namespace PW

namespace {

// Masks the entry with "*", whatever the desktop style would draw.
class StarPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

}  // namespace

TFrmPW::TFrmPW(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Password");
    setModal(true);

    Label1 = new QLabel("Enter password:", this);
    EditPW = new QLineEdit(this);
    EditPW->setEchoMode(QLineEdit::Password);
    auto* style = new StarPasswordStyle;
    style->setParent(EditPW);
    EditPW->setStyle(style);
    Label1->setBuddy(EditPW);

    BtnOK = new QPushButton("OK", this);
    BtnCancel = new QPushButton("Cancel", this);
    BtnOK->setDefault(true);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(EditPW);
    layout->addLayout(buttons);
}

TFrmPW::~TFrmPW() {
    if (FrmPW == this) FrmPW = nullptr;
}

void TFrmPW::Execute(std::string& text) {
    EditPW->clear();
    text.clear();
    if (platform::IsHeadless()) {
        // Nobody can type into a window here; the dialog service asks the
        // scripted answer, or cancels.
        std::string entry;
        if (platform::InputBox(windowTitle().toStdString(), Label1->text().toStdString(), entry,
                               true, this))
            text = entry;
        return;
    }
    if (exec() == QDialog::Accepted) text = EditPW->text().toStdString();
    EditPW->clear();
}

void TFrmPW::FormShow() { EditPW->setFocus(); }

void TFrmPW::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}
