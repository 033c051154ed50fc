// Dialog for a local user, a provider POP account or the relay login.
#include "settings/mail_act.h"

TFrmMailAccount* FrmMailAccount = nullptr;

TFrmMailAccount::TFrmMailAccount(QWidget* parent) : QDialog(parent) {}
