// Message browser for inboxes, the outbox and the spam folders.
#pragma once

#include <QDialog>


class TFrmDetails : public QDialog {
    Q_OBJECT
public:
    explicit TFrmDetails(QWidget* parent = nullptr);

};

extern TFrmDetails* FrmDetails;
