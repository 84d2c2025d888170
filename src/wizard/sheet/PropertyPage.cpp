#include "PropertyPage.h"

namespace {

const DialogTemplate& TemplateOrEmpty(int nIDTemplate) {
    static const DialogTemplate kEmpty{};
    const DialogTemplate* pTemplate = FindDialogTemplate(nIDTemplate);
    return pTemplate != nullptr ? *pTemplate : kEmpty;
}

}  // namespace

CPropertyPage::CPropertyPage(int nIDTemplate) : CPropertyPage(TemplateOrEmpty(nIDTemplate)) {}

CPropertyPage::CPropertyPage(const DialogTemplate& dialog) : m_pTemplate(&dialog) {
    setObjectName(QString::fromLatin1(dialog.pszCaption));
}

CPropertyPage::~CPropertyPage() = default;

void CPropertyPage::Create() {
    if (m_bCreated) {
        return;
    }
    m_controls = BuildDialog(*m_pTemplate, this);
    m_bCreated = true;
    OnInitDialog();
    UpdateData(win::FALSE);
}

win::BOOL CPropertyPage::UpdateData(win::BOOL bSaveAndValidate) {
    if (!m_bCreated) {
        return win::FALSE;
    }
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.Failed() ? win::FALSE : win::TRUE;
}

QWidget* CPropertyPage::GetDlgItem(int nIDC) const {
    if (nIDC == win::IDC_STATIC) {
        return nullptr;
    }
    for (const BuiltControl& control : m_controls) {
        if (control.nId == nIDC) {
            return control.pWidget;
        }
    }
    return nullptr;
}

void CPropertyPage::DoDataExchange(CDataExchange*) {}

win::BOOL CPropertyPage::OnSetActive() {
    if (m_bFirstSetActive) {
        m_bFirstSetActive = false;  // Create has just transferred the members
    } else {
        UpdateData(win::FALSE);
    }
    return win::TRUE;
}

win::BOOL CPropertyPage::OnKillActive() {
    return UpdateData(win::TRUE);
}

win::LRESULT CPropertyPage::OnWizardNext() {
    return 0;
}

win::LRESULT CPropertyPage::OnWizardBack() {
    return 0;
}

win::BOOL CPropertyPage::OnQueryCancel() {
    return win::TRUE;
}
