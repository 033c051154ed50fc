// The settings window.
#include "settings/setup.h"

TFrmSettings* FrmSettings = nullptr;

TFrmSettings::TFrmSettings(QWidget* parent) : QDialog(parent) {}
