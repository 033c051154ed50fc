// Spam filter window.
#pragma once

#include <QDialog>


class TFrmSpam : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSpam(QWidget* parent = nullptr);

};

extern TFrmSpam* FrmSpam;
