// Data exchange by control id, on a page of the test's own dialog.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>

#include "PropertyPage.h"

namespace {

enum {
    IDC_A1 = 3001,
    IDC_A2,
    IDC_A3,
    IDC_COMBO,
    IDC_LABEL,
    IDC_B1,
    IDC_B2,
    IDC_EDIT,
    IDC_BAR,
    IDC_MISSING = 3999
};

const DialogTemplate kDialog{
    600,
    "Exchange",
    200,
    150,
    {
        {IDC_A1, CtlKind::RadioButton, CTL_GROUP, 5, 5, 50, 10, "A1", 0, {}},
        {IDC_A2, CtlKind::RadioButton, 0, 5, 15, 50, 10, "A2", 0, {}},
        {IDC_A3, CtlKind::RadioButton, 0, 5, 25, 50, 10, "A3", 0, {}},
        {IDC_COMBO,
         CtlKind::ComboBox,
         CTL_GROUP | CTL_SORT,
         60,
         5,
         60,
         50,
         "",
         0,
         {"COM2", "COM10", "COM1"}},
        {IDC_LABEL, CtlKind::Static, 0, 60, 30, 60, 10, "label", 0, {}},
        {IDC_B1, CtlKind::RadioButton, CTL_GROUP, 5, 40, 50, 10, "B1", 0, {}},
        {IDC_B2, CtlKind::RadioButton, 0, 5, 50, 50, 10, "B2", 0, {}},
        {IDC_EDIT, CtlKind::Edit, CTL_GROUP | CTL_BORDER, 60, 40, 60, 12, "", 0, {}},
        {IDC_BAR, CtlKind::Progress, CTL_SMOOTH, 60, 60, 60, 10, "", 0, {}},
    },
};

class CExchangePage : public CPropertyPage {
public:
    CExchangePage() : CPropertyPage(kDialog) { Create(); }
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Radio(pDX, IDC_A1, m_nA);
        DDX_Radio(pDX, IDC_B1, m_nB);
        if (m_bExact) {
            DDX_CBStringExact(pDX, IDC_COMBO, m_strCombo);
        } else {
            DDX_CBString(pDX, IDC_COMBO, m_strCombo);
        }
        DDX_Text(pDX, IDC_LABEL, m_strLabel);
        DDX_Text(pDX, IDC_EDIT, m_strEdit);
        DDX_Control(pDX, IDC_BAR, m_pBar);
        if (m_bBindMissing) DDX_Text(pDX, IDC_MISSING, m_strEdit);
        if (m_bWrongKind) DDX_Control(pDX, IDC_EDIT, m_pWrongKind);
    }
    template <class T>
    T* Item(int nId) const {
        return qobject_cast<T*>(GetDlgItem(nId));
    }

    int m_nA = 0;
    int m_nB = 1;
    QString m_strCombo = "COM1";
    QString m_strLabel;
    QString m_strEdit;
    QProgressBar* m_pBar = nullptr;
    QProgressBar* m_pWrongKind = nullptr;
    bool m_bExact = false;
    bool m_bBindMissing = false;
    bool m_bWrongKind = false;
};

TEST(DataExchangeTest, RadioGroupIndexBothWaysWithinItsGroup) {
    CExchangePage page;
    for (int nIndex : {2, 0, -1, 1}) {
        page.m_nA = nIndex;
        ASSERT_TRUE(page.UpdateData(FALSE));
        EXPECT_EQ(page.Item<QRadioButton>(IDC_A1)->isChecked(), nIndex == 0);
        EXPECT_EQ(page.Item<QRadioButton>(IDC_A2)->isChecked(), nIndex == 1);
        EXPECT_EQ(page.Item<QRadioButton>(IDC_A3)->isChecked(), nIndex == 2);
        EXPECT_TRUE(page.Item<QRadioButton>(IDC_B2)->isChecked());  // the other group stays
        page.m_nA = 99;
        ASSERT_TRUE(page.UpdateData(TRUE));
        EXPECT_EQ(page.m_nA, nIndex);
        EXPECT_EQ(page.m_nB, 1);
    }
    page.Item<QRadioButton>(IDC_A3)->click();  // a click leaves one button of the group checked
    ASSERT_TRUE(page.UpdateData(TRUE));
    EXPECT_EQ(page.m_nA, 2);
    EXPECT_FALSE(page.Item<QRadioButton>(IDC_A1)->isChecked());
}

TEST(DataExchangeTest, ComboSelectsTheFirstEntryBeginningWithTheText) {
    struct Case {
        const char* pszValue;
        bool bExact;
        int nIndex;  // -1: the text went to the edit field
        const char* pszShown;
    };
    // The sorted list reads COM1, COM10, COM2.
    const Case cases[] = {
        {"COM1", false, 0, "COM1"},      {"com1", false, 0, "COM1"}, {"COM", false, 0, "COM1"},
        {"COM10", false, 1, "COM10"},    {"COM2", false, 2, "COM2"}, {"COM9", false, -1, "COM9"},
        {"/dev/x", false, -1, "/dev/x"}, {"com1", true, 0, "COM1"},  {"COM", true, -1, "COM"},
    };
    CExchangePage page;
    auto* pCombo = page.Item<QComboBox>(IDC_COMBO);
    ASSERT_EQ(pCombo->count(), 3);
    EXPECT_EQ(pCombo->itemText(0), "COM1");
    EXPECT_EQ(pCombo->itemText(2), "COM2");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszValue);
        page.m_bExact = c.bExact;
        page.m_strCombo = c.pszValue;
        ASSERT_TRUE(page.UpdateData(FALSE));
        EXPECT_EQ(pCombo->currentIndex(), c.nIndex);
        EXPECT_EQ(pCombo->currentText(), c.pszShown);
        ASSERT_TRUE(page.UpdateData(TRUE));
        EXPECT_EQ(page.m_strCombo, c.pszShown);
    }
    pCombo->setEditText("typed text");
    ASSERT_TRUE(page.UpdateData(TRUE));
    EXPECT_EQ(page.m_strCombo, "typed text");
}

TEST(DataExchangeTest, TextsAndControlsAreBound) {
    CExchangePage page;
    page.m_strLabel = "shown";
    page.m_strEdit = "edited";
    ASSERT_TRUE(page.UpdateData(FALSE));
    EXPECT_EQ(page.Item<QLabel>(IDC_LABEL)->text(), "shown");
    EXPECT_EQ(page.Item<QLineEdit>(IDC_EDIT)->text(), "edited");
    EXPECT_EQ(page.m_pBar, page.Item<QProgressBar>(IDC_BAR));
    page.Item<QLineEdit>(IDC_EDIT)->setText("typed");
    ASSERT_TRUE(page.UpdateData(TRUE));
    EXPECT_EQ(page.m_strEdit, "typed");
}

TEST(DataExchangeTest, MissingOrMismatchedControlsFailTheExchange) {
    CExchangePage page;
    page.m_bBindMissing = true;
    EXPECT_FALSE(page.UpdateData(TRUE));
    page.m_bBindMissing = false;
    page.m_bWrongKind = true;
    EXPECT_FALSE(page.UpdateData(TRUE));
    EXPECT_EQ(page.m_pWrongKind, nullptr);
    page.m_bWrongKind = false;
    EXPECT_TRUE(page.UpdateData(TRUE));
}

TEST(DataExchangeTest, NoExchangeBeforeThePageWindowExists) {
    CPropertyPage page(kDialog);
    EXPECT_FALSE(page.UpdateData(FALSE));
    EXPECT_EQ(page.GetDlgItem(IDC_EDIT), nullptr);
}

}  // namespace
