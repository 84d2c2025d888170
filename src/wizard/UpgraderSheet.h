// CUpgraderSheet: the firmware upgrade wizard. It owns its five pages and shows them in the
// order Welcome, File, Link, Transfer, Done; the pages reach one another only through the
// getters below.
//
// When the window is taken away from outside (CWindowWatch) the wizard goes on without it as
// far as it must: an upgrade under way runs to its end, as it would with the window, and the
// sheet then closes (the port with it); otherwise the sheet closes at once.
#pragma once

#include "PropertySheet.h"

class CWelcomePage;
class CFilePage;
class CLinkPage;
class CTransferPage;
class CDonePage;

class CUpgraderSheet : public CPropertySheet {
    Q_OBJECT
public:
    // A sheet captioned with string 103, starting on the first page.
    explicit CUpgraderSheet(QWidget* pParentWnd = nullptr);
    // Deletes the pages in page order (the Transfer page closes the port).
    ~CUpgraderSheet() override;

    // Creates the five pages and adds them in page order.
    void AddPages();

    CFilePage* GetFilePage() const { return m_pFilePage; }
    CLinkPage* GetLinkPage() const { return m_pLinkPage; }
    CTransferPage* GetTransferPage() const { return m_pTransferPage; }
    CDonePage* GetDonePage() const { return m_pDonePage; }

    // Whether the window was taken away from outside.
    bool WindowLost() const { return m_bWindowLost; }
    // Whether an attempt has ended on the Done page.
    bool AttemptEnded() const { return m_bAttemptEnded; }

private:
    void OnWindowLost();
    void OnPageChanged();
    // Closes the sheet, queued, unless an upgrade is under way.
    void EndUnlessTransferring();

    bool m_bWindowLost = false;
    bool m_bAttemptEnded = false;
    CWelcomePage* m_pWelcomePage = nullptr;
    CFilePage* m_pFilePage = nullptr;
    CLinkPage* m_pLinkPage = nullptr;
    CTransferPage* m_pTransferPage = nullptr;
    CDonePage* m_pDonePage = nullptr;
};
