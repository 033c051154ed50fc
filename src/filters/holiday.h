// Out-of-office responder.
#pragma once

#include <QDialog>


class TFrmHoliday : public QDialog {
    Q_OBJECT
public:
    explicit TFrmHoliday(QWidget* parent = nullptr);

};

extern TFrmHoliday* FrmHoliday;
