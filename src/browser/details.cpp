// Message browser for inboxes, the outbox and the spam folders.
#include "browser/details.h"

TFrmDetails* FrmDetails = nullptr;

TFrmDetails::TFrmDetails(QWidget* parent) : QDialog(parent) {}
