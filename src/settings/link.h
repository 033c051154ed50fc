// Dialog for an alias of a local user ("Alias setup"), and the creation of
// the alias and local-domain tables.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TvdlMemTable;

class TFrmLink : public QDialog {
    Q_OBJECT
public:
    explicit TFrmLink(QWidget* parent = nullptr);

    // Shows the dialog on Email and User; true when closed with OK, and only
    // then are Email (as typed) and User (the combo's text) written.
    bool Execute(std::string& Email, std::string& User);
    // Adds an alias row to the settings window's alias table (see AddLinkTo).
    bool AddLink(const std::string& Email, const std::string& User);
    // Adds Email -> User to table unless either is empty or the same address
    // already goes to that user (addresses and user names compared without
    // regard to case). The address is stored in lower case. The table is
    // left on the new row; true when a row was added.
    static bool AddLinkTo(TvdlMemTable& table, const std::string& Email, const std::string& User);

    QLabel *Label1, *Label2, *Label3, *Label4;
    QLineEdit* EditEmail;
    QComboBox* CBXUser;
    QPushButton *BtnOK, *BtnCancel;

    // Tests stand in for the person: called instead of showing the dialog,
    // with the controls filled; returns true for OK.
    static std::function<bool(TFrmLink&)> ExecForTesting;

public slots:
    void CheckOK();
};

extern TFrmLink* FrmLink;

// Named links rather than link: the unit name would clash with link(2).
namespace links {

// elink.dat: Email String 64, User String 64; index ixEmail on Email.
void DefineELinkTable(TvdlMemTable& t);
// domain.dat: Domain String 64; index ixDomain on Domain.
void DefineDomainTable(TvdlMemTable& t);

}  // namespace links
