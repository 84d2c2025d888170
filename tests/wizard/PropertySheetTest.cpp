// The navigation contract of the sheet, on plain test pages.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "PropertyPage.h"
#include "PropertySheet.h"
#include "WizardTestSupport.h"

namespace {

constexpr int IDC_NUMBER = 2001;

DialogTemplate NumberDialog(int nId) {
    return {nId,
            "Test page",
            200,
            80,
            {{IDC_NUMBER, CtlKind::Edit, CTL_BORDER, 10, 10, 60, 12, "", 0, {}}}};
}

const DialogTemplate kDialogs[] = {NumberDialog(501), NumberDialog(502), NumberDialog(503),
                                   NumberDialog(504)};

// A page that logs every call of the sheet and answers as it is told.
class CLogPage : public CPropertyPage {
public:
    CLogPage(const DialogTemplate& dialog, std::vector<std::string>& log)
        : CPropertyPage(dialog), m_log(log) {}

    void DoDataExchange(CDataExchange* pDX) override { DDX_Text(pDX, IDC_NUMBER, m_nValue); }
    BOOL OnSetActive() override {
        Log("enter");
        GetParentSheet()->SetWizardButtons(m_dwButtons);
        m_dwButtonsInHandler = GetParentSheet()->GetWizardButtons();
        return m_bAccept ? CPropertyPage::OnSetActive() : FALSE;
    }
    BOOL OnKillActive() override {
        Log("leave");
        return CPropertyPage::OnKillActive();
    }
    LRESULT OnWizardNext() override { return m_nNext; }
    LRESULT OnWizardBack() override { return m_nBack; }

    QLineEdit* Edit() const { return qobject_cast<QLineEdit*>(GetDlgItem(IDC_NUMBER)); }

    BOOL m_bAccept = TRUE;
    LRESULT m_nNext = 0;
    LRESULT m_nBack = 0;
    uint32_t m_dwButtons = PSWIZB_BACK | PSWIZB_NEXT;
    uint32_t m_dwButtonsInHandler = 0;
    int m_nValue = 0;

private:
    void Log(const char* pszWhat) {
        m_log.push_back(std::string(pszWhat) + " " + std::to_string(GetDialogId()));
    }
    std::vector<std::string>& m_log;
};

class SheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pSheet = std::make_unique<CPropertySheet>("Test");
        for (const DialogTemplate& dialog : kDialogs) {
            m_pages.push_back(new CLogPage(dialog, m_log));
            m_pSheet->AddPage(m_pages.back());
        }
    }
    void Show() {
        m_pSheet->show();
        DrainEvents();
        m_log.clear();
    }
    void Press(int nButton) {
        m_pSheet->GetDlgItem(nButton)->click();
        DrainEvents();
    }
    int Active() const { return m_pSheet->GetActiveIndex(); }

    std::vector<std::string> m_log;
    std::unique_ptr<CPropertySheet> m_pSheet;
    std::vector<CLogPage*> m_pages;  // owned by the sheet
};

TEST_F(SheetTest, ShowingEntersTheStartPageAndCreatesOnlyIt) {
    EXPECT_FALSE(m_pages[0]->IsCreated());
    m_pages[0]->m_nValue = 7;
    Show();
    EXPECT_EQ(Active(), 0);
    EXPECT_TRUE(m_pages[0]->IsCreated());
    EXPECT_FALSE(m_pages[1]->IsCreated());
    EXPECT_EQ(m_pages[1]->GetDlgItem(IDC_NUMBER), nullptr);
    EXPECT_EQ(m_pages[0]->Edit()->text(), "7");  // members went to the controls at creation
}

TEST_F(SheetTest, RefusedEntryPassesOverThePageInTheDirectionOfTravel) {
    m_pages[1]->m_bAccept = FALSE;
    Show();
    Press(ID_WIZNEXT);
    EXPECT_EQ(Active(), 2);
    EXPECT_EQ(m_log, (std::vector<std::string>{"leave 501", "enter 502", "enter 503"}));
    m_log.clear();
    Press(ID_WIZBACK);
    EXPECT_EQ(Active(), 0);
    EXPECT_EQ(m_log, (std::vector<std::string>{"leave 503", "enter 502", "enter 501"}));
}

TEST_F(SheetTest, ResultsOfNextAndBackChooseThePage) {
    struct Case {
        int nFrom;
        int nButton;
        LRESULT nResult;
        int nRefusing;  // index of a page that refuses entry, or -1
        int nExpected;
    };
    const Case cases[] = {
        {0, ID_WIZNEXT, 0, -1, 1},   {0, ID_WIZNEXT, -1, -1, 0}, {0, ID_WIZNEXT, 503, -1, 2},
        {0, ID_WIZNEXT, 504, -1, 3}, {0, ID_WIZNEXT, 1, -1, 0},  {0, ID_WIZNEXT, 999, -1, 0},
        {0, ID_WIZNEXT, 503, 2, 3},  {3, ID_WIZBACK, 0, -1, 2},  {3, ID_WIZBACK, -1, -1, 3},
        {3, ID_WIZBACK, 501, -1, 0}, {3, ID_WIZBACK, 7, -1, 3},  {3, ID_WIZBACK, 503, 2, 1},
        {2, ID_WIZNEXT, 0, 3, 2},  // nothing beyond accepts: the sheet stays
    };
    Show();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "from " << c.nFrom << " result " << c.nResult);
        for (CLogPage* pPage : m_pages) pPage->m_bAccept = TRUE;
        ASSERT_TRUE(m_pSheet->SetActivePage(c.nFrom));
        DrainEvents();
        if (c.nRefusing >= 0) m_pages[c.nRefusing]->m_bAccept = FALSE;
        m_pages[c.nFrom]->m_nNext = c.nResult;
        m_pages[c.nFrom]->m_nBack = c.nResult;
        Press(c.nButton);
        EXPECT_EQ(Active(), c.nExpected);
        auto* pStack = m_pSheet->findChild<QStackedWidget*>();
        EXPECT_EQ(pStack->currentWidget(), m_pages[c.nExpected]);
    }
}

TEST_F(SheetTest, KillActiveRefusesTheChangeWhenTheExchangeFails) {
    Show();
    m_pages[0]->Edit()->setText("not a number");
    Press(ID_WIZNEXT);
    EXPECT_EQ(Active(), 0);
    EXPECT_EQ(m_log, (std::vector<std::string>{"leave 501"}));
    EXPECT_FALSE(m_pSheet->SetActivePage(m_pages[2]));
    EXPECT_EQ(Active(), 0);

    m_pages[0]->Edit()->setText("42");
    Press(ID_WIZNEXT);
    EXPECT_EQ(Active(), 1);
    EXPECT_EQ(m_pages[0]->m_nValue, 42);
}

TEST_F(SheetTest, ReentryTransfersTheMembersAgain) {
    Show();
    Press(ID_WIZNEXT);
    m_pages[1]->Edit()->setText("5");
    Press(ID_WIZBACK);
    EXPECT_EQ(m_pages[1]->m_nValue, 5);  // read back when the page was left
    m_pages[1]->m_nValue = 9;
    Press(ID_WIZNEXT);
    EXPECT_EQ(m_pages[1]->Edit()->text(), "9");
}

TEST_F(SheetTest, ButtonMasksTakeEffectAfterTheHandler) {
    struct Case {
        uint32_t dwMask;
        bool bBack, bNextShown, bNext, bFinishShown, bFinish;
    };
    const Case cases[] = {
        {PSWIZB_NEXT, false, true, true, false, false},
        {PSWIZB_BACK, true, true, false, false, false},
        {PSWIZB_BACK | PSWIZB_NEXT, true, true, true, false, false},
        {PSWIZB_FINISH, false, false, false, true, true},
        {PSWIZB_DISABLEDFINISH, false, false, false, true, false},
    };
    Show();
    uint32_t dwBefore = m_pSheet->GetWizardButtons();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.dwMask);
        m_pages[1]->m_dwButtons = c.dwMask;
        ASSERT_TRUE(m_pSheet->SetActivePage(1));
        EXPECT_EQ(m_pages[1]->m_dwButtonsInHandler, dwBefore);
        DrainEvents();
        EXPECT_EQ(m_pSheet->GetWizardButtons(), c.dwMask);
        EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZBACK)->isEnabled(), c.bBack);
        EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZNEXT)->isVisible(), c.bNextShown);
        EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZNEXT)->isEnabled(), c.bNext);
        EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZFINISH)->isVisible(), c.bFinishShown);
        EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZFINISH)->isEnabled(), c.bFinish);
        EXPECT_TRUE(m_pSheet->GetDlgItem(IDCANCEL)->isEnabled());
        dwBefore = c.dwMask;
    }
}

TEST_F(SheetTest, ButtonsCarryTheirTextsAndNoHelp) {
    EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZBACK)->text(), "< &Back");
    EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZNEXT)->text(), "&Next >");
    EXPECT_EQ(m_pSheet->GetDlgItem(ID_WIZFINISH)->text(), "&Finish");
    EXPECT_EQ(m_pSheet->GetDlgItem(IDCANCEL)->text(), "Cancel");
    EXPECT_EQ(m_pSheet->findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly).size(),
              4);
}

TEST_F(SheetTest, ReturnPressesNextOrTheEnabledFinish) {
    Show();
    QTest::keyClick(m_pSheet.get(), Qt::Key_Return);
    DrainEvents();
    EXPECT_EQ(Active(), 1);

    m_pages[2]->m_dwButtons = PSWIZB_DISABLEDFINISH;
    Press(ID_WIZNEXT);
    QTest::keyClick(m_pSheet.get(), Qt::Key_Return);
    DrainEvents();
    EXPECT_TRUE(m_pSheet->isVisible());
    EXPECT_EQ(Active(), 2);

    m_pages[3]->m_dwButtons = PSWIZB_FINISH;
    ASSERT_TRUE(m_pSheet->SetActivePage(3));
    DrainEvents();
    QTest::keyClick(m_pSheet.get(), Qt::Key_Return);
    DrainEvents();
    EXPECT_FALSE(m_pSheet->isVisible());
    EXPECT_EQ(m_pSheet->result(), ID_WIZFINISH);
}

TEST_F(SheetTest, DoModalEndsWithCancelOrFinish) {
    for (int nButton : {IDCANCEL, ID_WIZFINISH}) {
        m_pages[0]->m_dwButtons = PSWIZB_FINISH;
        CModalAnswerer answerer([&](QWidget* pModal) {
            if (pModal == m_pSheet.get()) m_pSheet->GetDlgItem(nButton)->click();
        });
        EXPECT_EQ(m_pSheet->DoModal(), nButton);
        m_pSheet = std::make_unique<CPropertySheet>("Test");
        m_pages.clear();
        for (const DialogTemplate& dialog : kDialogs) {
            m_pages.push_back(new CLogPage(dialog, m_log));
            m_pSheet->AddPage(m_pages.back());
        }
    }
}

}  // namespace
