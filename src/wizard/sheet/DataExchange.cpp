#include "DataExchange.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "ElidedLabel.h"
#include "PropertyPage.h"

QWidget* CDataExchange::PrepareCtrl(int nIDC) {
    QWidget* pWidget = m_pDlgWnd != nullptr ? m_pDlgWnd->GetDlgItem(nIDC) : nullptr;
    if (pWidget == nullptr) {
        m_bFailed = true;
        return nullptr;
    }
    m_pLastControl = pWidget;
    return pWidget;
}

void CDataExchange::Fail() {
    m_bFailed = true;
    if (m_pLastControl != nullptr && m_pLastControl->isEnabled()) {
        m_pLastControl->setFocus();
    }
}

namespace {

bool GetWindowText(QWidget* pWidget, QString& text) {
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        text = pEdit->text();
    } else if (auto* pLabel = qobject_cast<QLabel*>(pWidget)) {
        text = pLabel->text();
    } else if (auto* pCombo = qobject_cast<QComboBox*>(pWidget)) {
        text = pCombo->currentText();
    } else if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget)) {
        text = pButton->text();
    } else {
        return false;
    }
    return true;
}

bool SetWindowText(QWidget* pWidget, const QString& text) {
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        pEdit->setText(text);
    } else if (auto* pElided = qobject_cast<CElidedLabel*>(pWidget)) {
        pElided->SetText(text);
    } else if (auto* pLabel = qobject_cast<QLabel*>(pWidget)) {
        pLabel->setText(text);
    } else if (auto* pCombo = qobject_cast<QComboBox*>(pWidget)) {
        pCombo->setEditText(text);
    } else if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget)) {
        pButton->setText(text);
    } else {
        return false;
    }
    return true;
}

// Selects the first entry that matches, or puts the text in the edit field.
void SelectComboText(QComboBox* pCombo, const QString& value, bool bExact) {
    for (int i = 0; i < pCombo->count(); ++i) {
        const QString item = pCombo->itemText(i);
        const bool bMatch = bExact ? item.compare(value, Qt::CaseInsensitive) == 0
                                   : item.startsWith(value, Qt::CaseInsensitive);
        if (bMatch) {
            pCombo->setCurrentIndex(i);
            pCombo->setEditText(item);
            return;
        }
    }
    pCombo->setCurrentIndex(-1);
    pCombo->setEditText(value);
}

void ExchangeComboText(CDataExchange* pDX, int nIDC, QString& value, bool bExact) {
    QWidget* pWidget = pDX->PrepareCtrl(nIDC);
    if (pWidget == nullptr) {
        return;
    }
    auto* pCombo = qobject_cast<QComboBox*>(pWidget);
    if (pCombo == nullptr || !pCombo->isEditable()) {
        pDX->Fail();
        return;
    }
    if (pDX->m_bSaveAndValidate) {
        value = pCombo->currentText();
    } else {
        SelectComboText(pCombo, value, bExact);
    }
}

}  // namespace

void DDX_Text(CDataExchange* pDX, int nIDC, QString& value) {
    QWidget* pWidget = pDX->PrepareCtrl(nIDC);
    if (pWidget == nullptr) {
        return;
    }
    const bool bDone =
        pDX->m_bSaveAndValidate ? GetWindowText(pWidget, value) : SetWindowText(pWidget, value);
    if (!bDone) {
        pDX->Fail();
    }
}

void DDX_Text(CDataExchange* pDX, int nIDC, int& value) {
    QWidget* pWidget = pDX->PrepareCtrl(nIDC);
    if (pWidget == nullptr) {
        return;
    }
    if (!pDX->m_bSaveAndValidate) {
        if (!SetWindowText(pWidget, QString::number(value))) {
            pDX->Fail();
        }
        return;
    }
    QString text;
    bool bNumber = false;
    const int nRead = GetWindowText(pWidget, text) ? text.trimmed().toInt(&bNumber) : 0;
    if (!bNumber) {
        pDX->Fail();
        return;
    }
    value = nRead;
}

void DDX_Radio(CDataExchange* pDX, int nIDC, int& value) {
    QWidget* pFirst = pDX->PrepareCtrl(nIDC);
    if (pFirst == nullptr) {
        return;
    }
    // The group: the radio buttons from nIDC up to the next control that starts a group.
    std::vector<QAbstractButton*> group;
    bool bInGroup = false;
    for (const BuiltControl& control : pDX->m_pDlgWnd->Controls()) {
        if (control.pWidget == pFirst) {
            bInGroup = true;
        } else if (bInGroup && control.bGroup) {
            break;
        }
        if (!bInGroup) {
            continue;
        }
        if (auto* pButton = qobject_cast<QAbstractButton*>(control.pWidget);
            pButton != nullptr && pButton->isCheckable()) {
            group.push_back(pButton);
        }
    }
    if (group.empty()) {
        pDX->Fail();
        return;
    }
    if (pDX->m_bSaveAndValidate) {
        value = -1;
        for (size_t i = 0; i < group.size(); ++i) {
            if (group[i]->isChecked()) {
                value = static_cast<int>(i);
                break;
            }
        }
        return;
    }
    for (size_t i = 0; i < group.size(); ++i) {
        QAbstractButton* pButton = group[i];
        // An exclusive group never lets its last checked button go by itself.
        QButtonGroup* pExclusive = pButton->group();
        const bool bExclusive = pExclusive != nullptr && pExclusive->exclusive();
        if (bExclusive) {
            pExclusive->setExclusive(false);
        }
        pButton->setChecked(static_cast<int>(i) == value);
        if (bExclusive) {
            pExclusive->setExclusive(true);
        }
    }
}

void DDX_CBString(CDataExchange* pDX, int nIDC, QString& value) {
    ExchangeComboText(pDX, nIDC, value, false);
}

void DDX_CBStringExact(CDataExchange* pDX, int nIDC, QString& value) {
    ExchangeComboText(pDX, nIDC, value, true);
}
