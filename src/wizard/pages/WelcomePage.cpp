#include "WelcomePage.h"

#include "Resource.h"
#include "UpgraderSheet.h"

CWelcomePage::CWelcomePage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_WELCOME), m_pSheet(pSheet) {}

BOOL CWelcomePage::OnSetActive() {
    m_pSheet->SetWizardButtons(PSWIZB_NEXT);
    return CPropertyPage::OnSetActive();
}
