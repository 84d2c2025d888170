// CPropertyPage: one page of a wizard sheet, built from a dialog table.
//
// The page widget exists from construction, but its controls (the "page window") are created
// from the table the first time the sheet enters the page: then OnInitDialog runs and the
// members are transferred to the controls (UpdateData(FALSE)). The sheet then drives the
// page through the virtual handlers below; their defaults are the ones every page relies on
// unless it overrides them:
//   - OnSetActive: TRUE, and on every entry but the first the members go to the controls
//     again. A page that returns FALSE is passed over in the direction of travel.
//   - OnKillActive: the controls go to the members (UpdateData(TRUE)); FALSE, refusing to
//     leave, when that exchange fails.
//   - OnWizardNext / OnWizardBack: 0, the neighbouring page in page order.
//   - OnQueryCancel: TRUE, the sheet may close on Cancel, Escape or the close button; FALSE
//     keeps it open (the page may then ask the user, and end the sheet itself).
#pragma once

#include <QWidget>
#include <vector>

#include "DataExchange.h"
#include "DialogTemplate.h"
#include "WizardTypes.h"

class CPropertySheet;

class CPropertyPage : public QWidget {
    Q_OBJECT
public:
    // A page on the program's dialog with that id (FindDialogTemplate); an unknown id gives
    // an empty page.
    explicit CPropertyPage(int nIDTemplate);
    // A page on a dialog table of the caller's, which must outlive the page.
    explicit CPropertyPage(const DialogTemplate& dialog);
    ~CPropertyPage() override;

    int GetDialogId() const { return m_pTemplate->nId; }
    const DialogTemplate& GetTemplate() const { return *m_pTemplate; }

    // Whether the page window (the controls) exists.
    bool IsCreated() const { return m_bCreated; }
    // Creates the controls, runs OnInitDialog and transfers the members to the controls.
    // Does nothing when the controls exist.
    void Create();

    // Runs DoDataExchange in the given direction (TRUE: controls → members). TRUE when every
    // exchange succeeded; FALSE when one failed or the page window does not exist.
    win::BOOL UpdateData(win::BOOL bSaveAndValidate = win::TRUE);

    // The control with the id, or null (also before the page window exists).
    QWidget* GetDlgItem(int nIDC) const;
    // The controls in dialog order (empty before the page window exists).
    const std::vector<BuiltControl>& Controls() const { return m_controls; }

    // The sheet the page was added to, or null.
    CPropertySheet* GetParentSheet() const { return m_pParentSheet; }

    virtual void DoDataExchange(CDataExchange* pDX);
    virtual win::BOOL OnSetActive();
    virtual win::BOOL OnKillActive();
    virtual win::LRESULT OnWizardNext();
    virtual win::LRESULT OnWizardBack();
    virtual win::BOOL OnQueryCancel();

protected:
    // Called once, right after the controls were created and before the first transfer of the
    // members: the place to connect control handlers.
    virtual void OnInitDialog() {}

private:
    friend class CPropertySheet;

    const DialogTemplate* m_pTemplate;
    CPropertySheet* m_pParentSheet = nullptr;
    std::vector<BuiltControl> m_controls;
    bool m_bCreated = false;
    bool m_bFirstSetActive = true;
};
