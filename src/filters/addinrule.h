// Rule editor.
#pragma once

#include <QDialog>


class TFrmRule : public QDialog {
    Q_OBJECT
public:
    explicit TFrmRule(QWidget* parent = nullptr);

};

extern TFrmRule* FrmRule;
