// Forwarding of delivered mail.
#include "filters/forward.h"

TFrmForward* FrmForward = nullptr;

TFrmForward::TFrmForward(QWidget* parent) : QDialog(parent) {}
