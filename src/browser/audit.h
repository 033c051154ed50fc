// Audit table window.
#pragma once

#include <QDialog>


class TFrmAudit : public QDialog {
    Q_OBJECT
public:
    explicit TFrmAudit(QWidget* parent = nullptr);

};

extern TFrmAudit* FrmAudit;
