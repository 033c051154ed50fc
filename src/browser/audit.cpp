// Audit table window.
#include "browser/audit.h"

TFrmAudit* FrmAudit = nullptr;

TFrmAudit::TFrmAudit(QWidget* parent) : QDialog(parent) {}
