// Data exchange between a page's members and its controls, by control id.
//
// A page's DoDataExchange calls one DDX_ function per bound member. In the direction
// members → controls (UpdateData(FALSE)) each function puts the member into its control; in
// the direction controls → members (UpdateData(TRUE)) it reads the control back and may
// refuse a text it cannot take, which marks the whole exchange as failed: the page then
// stays where it is. Every function first looks up its control; an id the page does not
// have fails the exchange.
#pragma once

#include <QString>

#include "WizardTypes.h"

class QWidget;
class CPropertyPage;

class CDataExchange {
public:
    CDataExchange(CPropertyPage* pDlgWnd, win::BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    // The control with the id (remembered as the one to focus on failure), or null with the
    // exchange failed.
    QWidget* PrepareCtrl(int nIDC);
    // Marks the exchange as failed; the focus goes to the control last prepared.
    void Fail();
    bool Failed() const { return m_bFailed; }

    const win::BOOL m_bSaveAndValidate;  // TRUE: controls → members
    CPropertyPage* const m_pDlgWnd;

private:
    QWidget* m_pLastControl = nullptr;
    bool m_bFailed = false;
};

// A text control (edit field, static, editable combo) and a string.
void DDX_Text(CDataExchange* pDX, int nIDC, QString& value);
// A text control and a decimal integer; a text that is no integer fails the exchange.
void DDX_Text(CDataExchange* pDX, int nIDC, int& value);
// A radio-button group starting at nIDC and the index of its checked button (in dialog
// order, -1 when none is checked). Setting -1 clears the whole group.
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value);
// An editable combo box and its text. To the control: the first list entry that begins with
// the text (ignoring case) is selected; when none does, the text goes into the edit field.
// From the control: the edit field's text.
void DDX_CBString(CDataExchange* pDX, int nIDC, QString& value);
// As DDX_CBString, but only an entry equal to the text (ignoring case) is selected.
void DDX_CBStringExact(CDataExchange* pDX, int nIDC, QString& value);

// Binds pControl to the control with the id (once; the page owns the widget). Fails the
// exchange when the control is missing or of another kind.
template <class TControl>
void DDX_Control(CDataExchange* pDX, int nIDC, TControl*& pControl) {
    if (pControl != nullptr) {
        return;
    }
    QWidget* pWidget = pDX->PrepareCtrl(nIDC);
    if (pWidget == nullptr) {
        return;
    }
    pControl = qobject_cast<TControl*>(pWidget);
    if (pControl == nullptr) {
        pDX->Fail();
    }
}
