// The settings window.
#pragma once

#include <QDialog>

class TFrmSettings : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSettings(QWidget* parent = nullptr);
};

extern TFrmSettings* FrmSettings;
