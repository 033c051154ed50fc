// Log viewer.
#include "shell/logs.h"

TFrmLogs* FrmLogs = nullptr;

TFrmLogs::TFrmLogs(QWidget* parent) : QDialog(parent) {}
