// Audit window. Nothing in the program adds rows to the table; it is
// created, loaded and trimmed here and shown on request.
#include "browser/audit.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <cstdio>
#include <exception>

#include "platform/clock.h"
#include "transport/engine_tables.h"
#include "transport/globals.h"
#include "shell/splash.h"

TFrmAudit* FrmAudit = nullptr;

namespace {

struct AuditColumn {
    const char* field;
    const char* title;
    int width;
};
constexpr AuditColumn kColumns[] = {
    {"DateTime", "Event", 125}, {"Type", "Type", 50}, {"WhoFrom", "From", 184},
    {"WhoTo", "To", 154},       {"Error", "Comments/error", 220},
};
constexpr int kColumnCount = static_cast<int>(sizeof kColumns / sizeof kColumns[0]);

// Entries older than this many days go at every start.
constexpr int kKeepDays = 7;

TDateTime NowAsDateTime() {
    const platform::LocalTime lt = platform::NowLocal();
    return memtable::EncodeDate(lt.year, lt.month, lt.day) +
           memtable::EncodeTime(lt.hour, lt.minute, lt.second, lt.millisecond);
}

}  // namespace

TAuditSource::TAuditSource(TvdlMemTable& table, QObject* parent) : QAbstractTableModel(parent), table_(table) {}

int TAuditSource::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !table_.Active()) return 0;
    return table_.RecordCount();
}

int TAuditSource::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant TAuditSource::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || !table_.Active()) return QVariant();
    try {
        table_.SetRecNo(index.row() + 1);
        TField* field = table_.FindField(kColumns[index.column()].field);
        return field ? QVariant(QString::fromStdString(field->AsString())) : QVariant();
    } catch (const std::exception&) {
        return QVariant();
    }
}

QVariant TAuditSource::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= kColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString(kColumns[section].title);
}

void TAuditSource::Refresh() {
    beginResetModel();
    endResetModel();
}

TFrmAudit::TFrmAudit(QWidget* parent) : QDialog(parent) {
    setObjectName("FrmAudit");
    setWindowTitle("Audit log");
    resize(780, 420);

    DTSAdmin = new TAuditSource(TblAudit, this);
    DTSAdmin->setObjectName("DTSAdmin");
    DBGrid2 = new QTableView;
    DBGrid2->setObjectName("DBGrid2");
    DBGrid2->setModel(DTSAdmin);
    DBGrid2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid2->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid2->verticalHeader()->hide();
    for (int c = 0; c < kColumnCount; ++c) DBGrid2->setColumnWidth(c, kColumns[c].width);

    BtnDone = new QPushButton("Done");
    BtnDone->setObjectName("BtnDone");
    connect(BtnDone, &QPushButton::clicked, this, &QDialog::accept);
    BtnSend = new QPushButton("Send to Velmarsh");
    BtnSend->setObjectName("BtnSend");

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(BtnSend);
    buttons->addWidget(BtnDone);
    auto* main = new QVBoxLayout(this);
    main->addWidget(DBGrid2, 1);
    main->addLayout(buttons);

    FormCreate();
}

TFrmAudit::~TFrmAudit() {
    TblAudit.OnDataChange = nullptr;
    if (FrmAudit == this) FrmAudit = nullptr;
}

void TFrmAudit::DefineAuditTable(TvdlMemTable& table) {
    table.Close();
    table.FieldDefs().Clear();
    table.FieldDefs().Add("DateTime", ftDateTime);
    table.FieldDefs().Add("Type", ftString, 64);
    table.FieldDefs().Add("User", ftString, 64);
    table.FieldDefs().Add("WhoFrom", ftString, 64);
    table.FieldDefs().Add("WhoTo", ftString, 64);
    table.FieldDefs().Add("Error", ftString, 128);
    table.IndexDefs().Clear();
    table.CreateTable();
    table.AddIndex("ixDate", "DateTime", ixPrimary | ixDescending);
    table.Open();
    table.SetIndexName("ixDate");
}

void TFrmAudit::FormCreate() {
    splash::Progress("Creating audit log...");
    TblAudit.OnDataChange = nullptr;
    // Unreadable, missing or of another layout: start a new, empty log; one
    // that cannot be written stays in memory only, the program does not
    // depend on it.
    tables::LoadOrStartAnew(tables::Audit(), ProgramDir, "ixDate", DefineAuditTable);
    try {
        if (TblAudit.Active()) {
            const TDateTime now = NowAsDateTime();
            TblAudit.SetRange({now - 999999}, {now - kKeepDays});
            while (!TblAudit.IsEmpty()) {
                TblAudit.First();
                TblAudit.Delete();
            }
            TblAudit.CancelRange();
            TblAudit.First();
        }
    } catch (const std::exception&) {
        // A log that cannot be trimmed is shown as it is.
        try {
            TblAudit.CancelRange();
        } catch (const std::exception&) {
        }
    }
    TblAudit.OnDataChange = [this](TvdlMemTable&) { DTSAdmin->Refresh(); };
    DTSAdmin->Refresh();
}
