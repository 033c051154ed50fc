// The settings-password dialog.
#include "settings/pw.h"

TFrmPW* FrmPW = nullptr;

TFrmPW::TFrmPW(QWidget* parent) : QDialog(parent) {}
