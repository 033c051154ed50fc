// Dialog for an alias of a local user.
#pragma once

#include <QDialog>


class TFrmLink : public QDialog {
    Q_OBJECT
public:
    explicit TFrmLink(QWidget* parent = nullptr);

};

extern TFrmLink* FrmLink;
