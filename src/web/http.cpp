// Built-in web server.
#include "web/http.h"

TFrmhttp* Frmhttp = nullptr;

TFrmhttp::TFrmhttp(QWidget* parent) : QDialog(parent) {}
