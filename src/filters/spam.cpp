// Spam filter window.
#include "filters/spam.h"

TFrmSpam* FrmSpam = nullptr;

TFrmSpam::TFrmSpam(QWidget* parent) : QDialog(parent) {}
