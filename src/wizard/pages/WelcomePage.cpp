#include "WelcomePage.h"

#include "Resource.h"
#include "UpgraderSheet.h"

CWelcomePage::CWelcomePage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_WELCOME), m_pSheet(pSheet) {}

win::BOOL CWelcomePage::OnSetActive() {
    m_pSheet->SetWizardButtons(win::PSWIZB_NEXT);
    return CPropertyPage::OnSetActive();
}
