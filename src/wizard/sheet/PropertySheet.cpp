#include "PropertySheet.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "DialogTemplate.h"
#include "PropertyPage.h"

namespace {

// Sizes of the sheet's frame, in dialog units.
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
constexpr int kMargin = 7;
constexpr int kPageMargin = 4;

}  // namespace

CPropertySheet::CPropertySheet(const QString& strCaption, QWidget* pParentWnd, int iSelectPage)
    : QDialog(pParentWnd), m_nStartPage(iSelectPage) {
    setWindowTitle(strCaption);
    setFont(DialogFont());
    const CDialogUnits units(font());

    m_pStack = new QStackedWidget(this);
    auto* pLine = new QFrame(this);
    pLine->setFrameShape(QFrame::HLine);
    pLine->setFrameShadow(QFrame::Sunken);

    m_pBack = new QPushButton(tr("< &Back"), this);
    m_pNext = new QPushButton(tr("&Next >"), this);
    m_pFinish = new QPushButton(tr("&Finish"), this);
    m_pCancel = new QPushButton(tr("Cancel"), this);
    const QSize buttonSize(units.ToPixelsX(kButtonWidth), units.ToPixelsY(kButtonHeight));
    for (QPushButton* pButton : {m_pBack, m_pNext, m_pFinish, m_pCancel}) {
        pButton->setMinimumSize(buttonSize);
    }
    // A stray Return or Space must not end what the page is doing (an upgrade in progress).
    m_pCancel->setAutoDefault(false);
    m_pCancel->setFocusPolicy(Qt::NoFocus);

    auto* pButtons = new QHBoxLayout;
    pButtons->setSpacing(0);
    pButtons->addStretch(1);
    pButtons->addWidget(m_pBack);
    pButtons->addWidget(m_pNext);
    pButtons->addWidget(m_pFinish);
    pButtons->addSpacing(units.ToPixelsX(kMargin));
    pButtons->addWidget(m_pCancel);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
    pLayout->setContentsMargins(units.ToPixelsX(kPageMargin), units.ToPixelsY(kPageMargin),
                                units.ToPixelsX(kMargin), units.ToPixelsY(kMargin));
    pLayout->setSpacing(units.ToPixelsY(kMargin));
    pLayout->addWidget(m_pStack);
    pLayout->addWidget(pLine);
    pLayout->addLayout(pButtons);

    connect(m_pBack, &QPushButton::clicked, this, &CPropertySheet::OnBack);
    connect(m_pNext, &QPushButton::clicked, this, &CPropertySheet::OnNext);
    connect(m_pFinish, &QPushButton::clicked, this, &CPropertySheet::OnFinish);
    connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);

    ApplyWizardButtons(win::PSWIZB_BACK | win::PSWIZB_NEXT);
}

CPropertySheet::~CPropertySheet() = default;

void CPropertySheet::AddPage(CPropertyPage* pPage) {
    if (pPage == nullptr || GetPageIndex(pPage) >= 0) {
        return;
    }
    pPage->m_pParentSheet = this;
    m_pStack->addWidget(pPage);
    const CDialogUnits units(font());
    const DialogTemplate& dialog = pPage->GetTemplate();
    pPage->setFixedSize(units.ToPixelsX(dialog.cx), units.ToPixelsY(dialog.cy));
    m_pStack->setMinimumSize(m_pStack->minimumSize().expandedTo(pPage->size()));
    m_pages.emplace_back(pPage);
}

CPropertyPage* CPropertySheet::GetPage(int nPage) const {
    if (nPage < 0 || nPage >= GetPageCount()) {
        return nullptr;
    }
    return m_pages[static_cast<size_t>(nPage)].data();
}

int CPropertySheet::GetPageIndex(const CPropertyPage* pPage) const {
    if (pPage == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < m_pages.size(); ++i) {
        if (m_pages[i].data() == pPage) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

win::BOOL CPropertySheet::SetActivePage(CPropertyPage* pPage) {
    return SetActivePage(GetPageIndex(pPage));
}

win::BOOL CPropertySheet::SetActivePage(int nPage) {
    if (GetPage(nPage) == nullptr) {
        return win::FALSE;
    }
    return ChangePage(nPage, nPage < m_nActive ? -1 : 1);
}

void CPropertySheet::SetWizardButtons(uint32_t dwFlags) {
    QMetaObject::invokeMethod(
        this, [this, dwFlags] { ApplyWizardButtons(dwFlags); }, Qt::QueuedConnection);
}

int CPropertySheet::DoModal() {
    return exec() == win::ID_WIZFINISH ? win::ID_WIZFINISH : win::IDCANCEL;
}

QPushButton* CPropertySheet::GetDlgItem(int nID) const {
    switch (nID) {
        case win::ID_WIZBACK:
            return m_pBack;
        case win::ID_WIZNEXT:
            return m_pNext;
        case win::ID_WIZFINISH:
            return m_pFinish;
        case win::IDCANCEL:
            return m_pCancel;
        default:
            return nullptr;
    }
}

void CPropertySheet::reject() {
    CPropertyPage* pPage = GetActivePage();
    if (pPage != nullptr && !pPage->OnQueryCancel()) {
        return;
    }
    QDialog::reject();
}

void CPropertySheet::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    if (m_nActive < 0) {
        ChangePage(std::clamp(m_nStartPage, 0, std::max(0, GetPageCount() - 1)), 1);
    }
}

void CPropertySheet::OnBack() {
    CPropertyPage* pPage = GetActivePage();
    if (pPage != nullptr) {
        Navigate(pPage->OnWizardBack(), -1);
    }
}

void CPropertySheet::OnNext() {
    CPropertyPage* pPage = GetActivePage();
    if (pPage != nullptr) {
        Navigate(pPage->OnWizardNext(), 1);
    }
}

void CPropertySheet::OnFinish() {
    done(win::ID_WIZFINISH);
}

void CPropertySheet::Navigate(win::LRESULT nResult, int nDirection) {
    if (nResult == -1) {
        return;
    }
    const int nTarget = nResult == 0 ? m_nActive + nDirection : FindPageByDialogId(nResult);
    if (GetPage(nTarget) == nullptr) {
        return;
    }
    ChangePage(nTarget, nDirection);
}

win::BOOL CPropertySheet::ChangePage(int nTarget, int nDirection) {
    CPropertyPage* pOld = GetActivePage();
    if (pOld != nullptr && !pOld->OnKillActive()) {
        return win::FALSE;
    }
    const unsigned nChange = ++m_nChanges;
    for (int i = nTarget; i >= 0 && i < GetPageCount(); i += nDirection) {
        CPropertyPage* pPage = GetPage(i);
        if (pPage == nullptr) {
            continue;
        }
        pPage->Create();
        const win::BOOL bAccepted = pPage->OnSetActive();
        // A handler that ran a nested event loop may have turned the sheet elsewhere or
        // deleted the page meanwhile: the latest change wins.
        if (nChange != m_nChanges || GetPage(i) != pPage) {
            return win::FALSE;
        }
        if (!bAccepted) {
            continue;
        }
        m_nActive = i;
        m_pStack->setCurrentWidget(pPage);
        FocusFirstControl(pPage);
        emit activePageChanged(i);
        return win::TRUE;
    }
    return win::FALSE;
}

void CPropertySheet::ApplyWizardButtons(uint32_t dwFlags) {
    m_dwButtons = dwFlags;
    const bool bFinish = (dwFlags & (win::PSWIZB_FINISH | win::PSWIZB_DISABLEDFINISH)) != 0;
    m_pBack->setEnabled((dwFlags & win::PSWIZB_BACK) != 0);
    m_pNext->setEnabled((dwFlags & win::PSWIZB_NEXT) != 0);
    m_pNext->setVisible(!bFinish);
    m_pFinish->setEnabled((dwFlags & win::PSWIZB_FINISH) != 0);
    m_pFinish->setVisible(bFinish);
    (bFinish ? m_pFinish : m_pNext)->setDefault(true);
}

int CPropertySheet::FindPageByDialogId(win::LRESULT nId) const {
    for (int i = 0; i < GetPageCount(); ++i) {
        const CPropertyPage* pPage = GetPage(i);
        if (pPage != nullptr && pPage->GetDialogId() == nId) {
            return i;
        }
    }
    return -1;
}

void CPropertySheet::FocusFirstControl(CPropertyPage* pPage) {
    for (const BuiltControl& control : pPage->Controls()) {
        QWidget* pWidget = control.pWidget;
        if ((pWidget->focusPolicy() & Qt::TabFocus) && pWidget->isEnabled() &&
            pWidget->isVisibleTo(pPage)) {
            pWidget->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    QPushButton* pDefault = m_pFinish->isVisible() ? m_pFinish : m_pNext;
    pDefault->setFocus(Qt::TabFocusReason);
}
