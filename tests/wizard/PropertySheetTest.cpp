// The navigation contract of the sheet, on plain test pages.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>

#include "PropertyPage.h"
#include "PropertySheet.h"
#include "WizardTestSupport.h"

namespace {

constexpr int IDC_NUMBER = 2001;

DialogTemplate NumberDialog(int nId) {
    DialogTemplate dialog{nId, "Test page", 200, 80, {}};
    dialog.controls.push_back({IDC_NUMBER, CtlKind::Edit, CTL_BORDER, 10, 10, 60, 12, "", 0, {}});
    return dialog;
}
const DialogTemplate kDialogs[] = {NumberDialog(501), NumberDialog(502), NumberDialog(503),
                                   NumberDialog(504)};

// A page that logs the sheet's calls and answers as it is told.
class CLogPage : public CPropertyPage {
public:
    CLogPage(const DialogTemplate& dialog, std::vector<std::string>& log)
        : CPropertyPage(dialog), m_log(log) {}

    void DoDataExchange(CDataExchange* pDX) override { DDX_Text(pDX, IDC_NUMBER, m_nValue); }
    win::BOOL OnSetActive() override {
        m_log.push_back("enter " + std::to_string(GetDialogId()));
        GetParentSheet()->SetWizardButtons(m_dwButtons);
        m_dwButtonsInHandler = GetParentSheet()->GetWizardButtons();
        return m_bAccept ? CPropertyPage::OnSetActive() : win::FALSE;
    }
    win::BOOL OnKillActive() override {
        m_log.push_back("leave " + std::to_string(GetDialogId()));
        return CPropertyPage::OnKillActive();
    }
    win::LRESULT OnWizardNext() override { return m_nResult; }
    win::LRESULT OnWizardBack() override { return m_nResult; }
    QLineEdit* Edit() const { return qobject_cast<QLineEdit*>(GetDlgItem(IDC_NUMBER)); }

    win::BOOL m_bAccept = win::TRUE;
    win::LRESULT m_nResult = 0;
    uint32_t m_dwButtons = win::PSWIZB_BACK | win::PSWIZB_NEXT;
    uint32_t m_dwButtonsInHandler = 0;
    int m_nValue = 0;
    std::vector<std::string>& m_log;
};

class SheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const DialogTemplate& dialog : kDialogs) {
            m_pages.push_back(new CLogPage(dialog, m_log));
            m_sheet.AddPage(m_pages.back());
        }
    }
    void Show() {
        m_sheet.show();
        DrainEvents();
        m_log.clear();
    }
    void Return() {  // once the posted masks took effect
        DrainEvents();
        QTest::keyClick(&m_sheet, Qt::Key_Return);
        DrainEvents();
    }
    using Log = std::vector<std::string>;

    Log m_log;
    CPropertySheet m_sheet{"Test"};
    std::vector<CLogPage*> m_pages;  // owned by the sheet
};

TEST_F(SheetTest, RefusedEntryPassesOverThePageAndFailedExchangeRefusesTheChange) {
    m_pages[0]->m_nValue = 7;
    Show();
    EXPECT_EQ(m_pages[0]->Edit()->text(), "7");  // created at the first entry, members shown
    EXPECT_FALSE(m_pages[1]->IsCreated());
    m_pages[1]->m_bAccept = win::FALSE;
    Press(m_sheet, win::ID_WIZNEXT);
    EXPECT_EQ(m_sheet.GetActiveIndex(), 2);
    Press(m_sheet, win::ID_WIZBACK);
    EXPECT_EQ(m_sheet.GetActiveIndex(), 0);
    EXPECT_EQ(m_log,
              (Log{"leave 501", "enter 502", "enter 503", "leave 503", "enter 502", "enter 501"}));

    // A failed exchange refuses the change.
    m_log.clear();
    m_pages[0]->Edit()->setText("not a number");
    Press(m_sheet, win::ID_WIZNEXT);
    EXPECT_FALSE(m_sheet.SetActivePage(2));
    EXPECT_EQ(m_sheet.GetActiveIndex(), 0);
    EXPECT_EQ(m_log, (Log{"leave 501", "leave 501"}));

    m_pages[0]->Edit()->setText("42");
    Press(m_sheet, win::ID_WIZNEXT);
    EXPECT_EQ(m_pages[0]->m_nValue, 42);
    m_pages[0]->m_nValue = 9;  // every entry shows the members again
    Press(m_sheet, win::ID_WIZBACK);
    EXPECT_EQ(m_pages[0]->Edit()->text(), "9");
}

TEST_F(SheetTest, ResultsOfNextAndBackChooseThePage) {
    // From page, button, its result, a page that refuses entry (or -1), page reached. From page
    // 2 with page 3 refusing, no page further on accepts: the sheet stays.
    const std::tuple<int, int, win::LRESULT, int, int> cases[] = {
        {0, win::ID_WIZNEXT, 0, -1, 1},   {0, win::ID_WIZNEXT, -1, -1, 0},
        {0, win::ID_WIZNEXT, 504, -1, 3}, {0, win::ID_WIZNEXT, 1, -1, 0},
        {0, win::ID_WIZNEXT, 999, -1, 0}, {0, win::ID_WIZNEXT, 503, 2, 3},
        {3, win::ID_WIZBACK, 0, -1, 2},   {3, win::ID_WIZBACK, -1, -1, 3},
        {3, win::ID_WIZBACK, 501, -1, 0}, {3, win::ID_WIZBACK, 7, -1, 3},
        {3, win::ID_WIZBACK, 503, 2, 1},  {2, win::ID_WIZNEXT, 0, 3, 2}};
    Show();
    for (const auto& [nFrom, nButton, nResult, nRefusing, nExpected] : cases) {
        SCOPED_TRACE(testing::Message() << "from " << nFrom << " result " << nResult);
        for (int i = 0; i < 4; ++i) {
            m_pages[i]->m_bAccept = i != nRefusing;
        }
        m_pages[nFrom]->m_nResult = nResult;
        ASSERT_TRUE(m_sheet.SetActivePage(nFrom));
        Press(m_sheet, nButton);
        EXPECT_EQ(m_sheet.GetActiveIndex(), nExpected);
        EXPECT_EQ(m_sheet.findChild<QStackedWidget*>()->currentWidget(), m_pages[nExpected]);
    }
}

TEST_F(SheetTest, ButtonMasksTakeEffectAfterTheHandler) {
    const std::pair<uint32_t, const char*> cases[] = {{win::PSWIZB_NEXT, "bN-C"},
                                                      {win::PSWIZB_BACK, "Bn-C"},
                                                      {win::PSWIZB_BACK | win::PSWIZB_NEXT, "BN-C"},
                                                      {win::PSWIZB_FINISH, "b-FC"},
                                                      {win::PSWIZB_DISABLEDFINISH, "b-fC"}};
    Show();
    uint32_t dwBefore = m_sheet.GetWizardButtons();
    for (const auto& [dwMask, pszShown] : cases) {
        SCOPED_TRACE(dwMask);
        m_pages[1]->m_dwButtons = dwMask;
        ASSERT_TRUE(m_sheet.SetActivePage(1));
        EXPECT_EQ(m_pages[1]->m_dwButtonsInHandler, dwBefore);
        DrainEvents();
        EXPECT_EQ(m_sheet.GetWizardButtons(), dwMask);
        EXPECT_EQ(Buttons(m_sheet), pszShown);
        dwBefore = dwMask;
    }
    // No Help button: Back, Next, Finish and Cancel are all there is.
    EXPECT_EQ(m_sheet.findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly).size(), 4);
}

TEST_F(SheetTest, ReturnPressesNextOrTheEnabledFinishAndMnemonicsMove) {
    Show();
    m_sheet.activateWindow();  // mnemonics work in the active window
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_sheet));
    Return();
    EXPECT_EQ(m_sheet.GetActiveIndex(), 1);
    QTest::keyClick(&m_sheet, Qt::Key_B, Qt::AltModifier);  // clicks after a short animation
    EXPECT_TRUE(WaitUntil([this] { return m_sheet.GetActiveIndex() == 0; }));

    m_pages[2]->m_dwButtons = win::PSWIZB_DISABLEDFINISH;
    ASSERT_TRUE(m_sheet.SetActivePage(2));
    Return();
    EXPECT_TRUE(m_sheet.isVisible());
    EXPECT_EQ(m_sheet.GetActiveIndex(), 2);

    m_pages[3]->m_dwButtons = win::PSWIZB_FINISH;
    ASSERT_TRUE(m_sheet.SetActivePage(3));
    Return();
    EXPECT_FALSE(m_sheet.isVisible());
    EXPECT_EQ(m_sheet.result(), win::ID_WIZFINISH);
}

}  // namespace
