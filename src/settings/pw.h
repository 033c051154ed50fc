// The settings-password prompt (the stored-password schemes themselves are
// in codecs/pw_codec.h).
#pragma once

#include <QDialog>

#include <functional>
#include <string>

#include "codecs/cipher.h"
#include "codecs/pw_codec.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace PW {

// The same for the program's tarnwick.ini, asking through FrmPW.
bool CheckSettingsPassword();

}  // namespace PW

class TFrmPW : public QDialog {
    Q_OBJECT
public:
    explicit TFrmPW(QWidget* parent = nullptr);
    ~TFrmPW() override;

    // Clears the entry and asks; text := what was typed when closed with
    // OK, else empty. Without a display the dialog service answers.
    void Execute(std::string& text);
    void FormShow();

    QLabel* Label1 = nullptr;
    QLineEdit* EditPW = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;
    // The window's cipher component. PW::EncryptPassword / DecryptPassword
    // key and burn a cipher of their own on every call, so the engine can
    // use them without this window; the results are the same.
    TBlowfishCipher BlowfishCipher1;

protected:
    void showEvent(QShowEvent* event) override;
};

extern TFrmPW* FrmPW;
