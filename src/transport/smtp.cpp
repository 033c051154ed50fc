// Invisible window that owns the SMTP server and the relay client.
#include "transport/smtp.h"

TFrmSMTP* FrmSMTP = nullptr;

TFrmSMTP::TFrmSMTP(QWidget* parent) : QDialog(parent) {}
