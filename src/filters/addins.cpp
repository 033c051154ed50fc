// Add-ins window.
#include "filters/addins.h"

TFrmAddins* FrmAddins = nullptr;

TFrmAddins::TFrmAddins(QWidget* parent) : QDialog(parent) {}
