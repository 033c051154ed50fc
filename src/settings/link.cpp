// Dialog for an alias of a local user.
#include "settings/link.h"

TFrmLink* FrmLink = nullptr;

TFrmLink::TFrmLink(QWidget* parent) : QDialog(parent) {}
