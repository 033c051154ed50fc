// Audit window: a grid over the table of mail events kept in audit.dat,
// trimmed to the last seven days when the program starts.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>

#include "tables/memtable.h"
#include "transport/table_owner.h"

class QPushButton;
class QTableView;

// The grid's view of TblAudit: one row per record in index order, the
// columns Event, Type, From, To and Comments/error.
class TAuditSource : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TAuditSource(TvdlMemTable& table, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // The table changed: the grid reads it again.
    void Refresh();

private:
    TvdlMemTable& table_;
};

class TFrmAudit : public QDialog {
    Q_OBJECT
public:
    explicit TFrmAudit(QWidget* parent = nullptr);
    ~TFrmAudit() override;

    // Creation: loads audit.dat (a new empty one when it cannot be read)
    // and drops the entries older than seven days from the table.
    void FormCreate();

    // Defines TblAudit's fields and its index ixDate (primary, descending).
    static void DefineAuditTable(TvdlMemTable& table);

    // audit.dat's owner's table: the window shows the rows every writer
    // sees, and keeps no copy of its own that could be saved over theirs.
    TvdlMemTable& TblAudit = tables::Audit().Table();
    TAuditSource* DTSAdmin;
    QTableView* DBGrid2;
    QPushButton* BtnDone;
    QPushButton* BtnSend;
};

extern TFrmAudit* FrmAudit;
