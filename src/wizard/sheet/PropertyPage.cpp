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
    UpdateData(FALSE);
}

BOOL CPropertyPage::UpdateData(BOOL bSaveAndValidate) {
    if (!m_bCreated) {
        return FALSE;
    }
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.Failed() ? FALSE : TRUE;
}

QWidget* CPropertyPage::GetDlgItem(int nIDC) const {
    if (nIDC == IDC_STATIC) {
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

BOOL CPropertyPage::OnSetActive() {
    if (m_bFirstSetActive) {
        m_bFirstSetActive = false;  // Create has just transferred the members
    } else {
        UpdateData(FALSE);
    }
    return TRUE;
}

BOOL CPropertyPage::OnKillActive() {
    return UpdateData(TRUE);
}

LRESULT CPropertyPage::OnWizardNext() {
    return 0;
}

LRESULT CPropertyPage::OnWizardBack() {
    return 0;
}

BOOL CPropertyPage::OnQueryCancel() {
    return TRUE;
}
