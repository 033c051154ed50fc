// Add-ins window.
#pragma once

#include <QDialog>


class TFrmAddins : public QDialog {
    Q_OBJECT
public:
    explicit TFrmAddins(QWidget* parent = nullptr);

};

extern TFrmAddins* FrmAddins;
