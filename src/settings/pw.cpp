// The settings-password prompt.
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
#include "transport/settings_file.h"

TFrmPW* FrmPW = nullptr;

namespace PW {

bool CheckSettingsPassword() {
    const platform::IniFile ini(settings::IniPath());
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
