// Out-of-office responder.
#include "filters/holiday.h"

TFrmHoliday* FrmHoliday = nullptr;

TFrmHoliday::TFrmHoliday(QWidget* parent) : QDialog(parent) {}
