// Spam address request window.
#include "filters/spam_add.h"

TFrmSpamAddresses* FrmSpamAddresses = nullptr;

TFrmSpamAddresses::TFrmSpamAddresses(QWidget* parent) : QDialog(parent) {}
