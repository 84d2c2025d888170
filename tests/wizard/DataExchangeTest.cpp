// Data exchange by control id, on a plain page of the Link dialog (port list COM1 to COM4).
// The pages' own tests cover the radio group and the texts.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QProgressBar>

#include "PropertyPage.h"
#include "Resource.h"
#include "WizardTestSupport.h"

namespace {

class CExchangePage : public CPropertyPage {
public:
    CExchangePage() : CPropertyPage(IDD_LINK) { Create(); }
    void DoDataExchange(CDataExchange* pDX) override {
        (m_bExact ? DDX_CBStringExact : DDX_CBString)(pDX, IDC_COMPORT, m_strPort);
        DDX_Control(pDX, IDC_BAUDRATE, m_pBaud);
        if (m_nBadBinding == 1) {
            DDX_Text(pDX, 4242, m_strPort);  // no such control
        }
        if (m_nBadBinding == 2) {
            DDX_Control(pDX, IDC_COMPORT, m_pWrongKind);
        }
    }

    int m_nBadBinding = 0;
    bool m_bExact = false;
    QString m_strPort;
    QComboBox* m_pBaud = nullptr;
    QProgressBar* m_pWrongKind = nullptr;
};

TEST(DataExchangeTest, ComboSelectsTheFirstEntryBeginningWithTheText) {
    // Value, exact match only, index selected (-1: the text went to the edit field), text shown.
    const std::tuple<const char*, bool, int, const char*> cases[] = {
        {"com2", false, 1, "COM2"}, {"COM", false, 0, "COM1"},       {"COM4x", false, -1, "COM4x"},
        {"", false, 0, "COM1"},     {"/dev/x", false, -1, "/dev/x"}, {"com3", true, 2, "COM3"},
        {"COM", true, -1, "COM"}};
    CExchangePage page;
    auto* pCombo = Control<QComboBox>(&page, IDC_COMPORT);
    for (const auto& [pszValue, bExact, nIndex, pszShown] : cases) {
        SCOPED_TRACE(pszValue);
        page.m_bExact = bExact;
        page.m_strPort = pszValue;
        ASSERT_TRUE(page.UpdateData(win::FALSE));
        EXPECT_EQ(pCombo->currentIndex(), nIndex);
        EXPECT_EQ(pCombo->currentText(), pszShown);
        ASSERT_TRUE(page.UpdateData(win::TRUE));
        EXPECT_EQ(page.m_strPort, pszShown);
    }
}

TEST(DataExchangeTest, ControlsAreBoundAndBadBindingsFail) {
    EXPECT_FALSE(CPropertyPage(IDD_LINK).UpdateData(win::FALSE));  // no page window yet
    CExchangePage page;
    EXPECT_EQ(page.m_pBaud, Control<QComboBox>(&page, IDC_BAUDRATE));
    for (int nBad : {1, 2}) {
        page.m_nBadBinding = nBad;
        EXPECT_FALSE(page.UpdateData(win::TRUE)) << nBad;
    }
    EXPECT_EQ(page.m_pWrongKind, nullptr);
}

}  // namespace
