// Rule editor.
#include "filters/addinrule.h"

TFrmRule* FrmRule = nullptr;

TFrmRule::TFrmRule(QWidget* parent) : QDialog(parent) {}
