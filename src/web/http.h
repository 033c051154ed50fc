// Built-in web server.
#pragma once

#include <QDialog>


class TFrmhttp : public QDialog {
    Q_OBJECT
public:
    explicit TFrmhttp(QWidget* parent = nullptr);

};

extern TFrmhttp* Frmhttp;
