// CPropertySheet: a wizard dialog that shows its pages one at a time, with the buttons
// "< Back", "Next >" (or "Finish" in its place) and "Cancel", and no Help button.
//
// Navigation:
//   - Entering a page (Next, Back, SetActivePage, the first page when the sheet is shown)
//     creates its page window at the first entry and calls OnSetActive. FALSE passes over
//     the page to the next one in the direction of travel; when no page further on accepts,
//     the sheet stays on the page it was leaving.
//   - Before a page is left its OnKillActive runs; FALSE refuses the change.
//   - Next calls OnWizardNext, Back calls OnWizardBack: 0 goes to the neighbouring page in
//     page order, -1 stays, the dialog id of a page goes to that page, and any other value
//     stays.
//   - Finish closes the sheet (DoModal returns ID_WIZFINISH); Cancel, Escape and the close
//     button close it (IDCANCEL) once the current page's OnQueryCancel agrees. Return presses
//     Next, or Finish when Finish is shown; Return and Space never press Cancel, which takes
//     no keyboard focus.
//
// Button masks are posted: SetWizardButtons takes effect once the event loop runs again,
// after the handler that called it has returned.
//
// The pages become children of the sheet: they are deleted with it unless their owner
// deletes them first.
#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <vector>

#include "WizardTypes.h"

class QPushButton;
class QStackedWidget;
class CPropertyPage;

class CPropertySheet : public QDialog {
    Q_OBJECT
public:
    explicit CPropertySheet(const QString& strCaption, QWidget* pParentWnd = nullptr,
                            int iSelectPage = 0);
    ~CPropertySheet() override;

    // Appends a page to the page order.
    void AddPage(CPropertyPage* pPage);
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }
    // The page at the index, or null.
    CPropertyPage* GetPage(int nPage) const;
    // The index of the page, or -1.
    int GetPageIndex(const CPropertyPage* pPage) const;
    // The current page (null before the sheet is shown).
    CPropertyPage* GetActivePage() const { return GetPage(m_nActive); }
    int GetActiveIndex() const { return m_nActive; }

    // Makes the page current at once, with the leave and enter calls. TRUE when the page, or a
    // page it passed over to, became current; FALSE when the page is unknown, the current page
    // refused to be left, or no page accepted the entry.
    win::BOOL SetActivePage(CPropertyPage* pPage);
    win::BOOL SetActivePage(int nPage);

    // Posts a button mask (PSWIZB_*).
    void SetWizardButtons(uint32_t dwFlags);
    // The mask in force (the last one that took effect).
    uint32_t GetWizardButtons() const { return m_dwButtons; }

    // Shows the sheet modally on its start page; returns ID_WIZFINISH or IDCANCEL.
    int DoModal();

    // The sheet's buttons by id (ID_WIZBACK, ID_WIZNEXT, ID_WIZFINISH, IDCANCEL), or null.
    QPushButton* GetDlgItem(int nID) const;

    // Closes the sheet with nResult at once, asking no page.
    void EndDialog(int nResult) { done(nResult); }

    // Cancel, Escape and the close button: closes the sheet with IDCANCEL when the current
    // page's OnQueryCancel returns TRUE (or there is no page); otherwise the sheet stays.
    void reject() override;

signals:
    // A page has become the current page (after its entry was accepted).
    void activePageChanged(int nPage);

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    void OnBack();
    void OnNext();
    void OnFinish();
    void Navigate(win::LRESULT nResult, int nDirection);
    win::BOOL ChangePage(int nTarget, int nDirection);
    void ApplyWizardButtons(uint32_t dwFlags);
    int FindPageByDialogId(win::LRESULT nId) const;
    void FocusFirstControl(CPropertyPage* pPage);

    std::vector<QPointer<CPropertyPage>> m_pages;
    int m_nActive = -1;
    unsigned m_nChanges = 0;  // page changes begun, to detect one begun inside another
    int m_nStartPage;
    uint32_t m_dwButtons = 0;
    QStackedWidget* m_pStack;
    QPushButton* m_pBack;
    QPushButton* m_pNext;
    QPushButton* m_pFinish;
    QPushButton* m_pCancel;
};
