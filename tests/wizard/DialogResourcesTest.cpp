// The program's dialogs as built: the texts a technician reads, the Link page's tab order, and
// the Done page's pictures.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>

#include "PropertyPage.h"
#include "Resource.h"
#include "WizardTestSupport.h"

namespace {

// A page of one of the program's dialogs, built in the dialog font.
std::unique_ptr<CPropertyPage> BuiltPage(int nDialog) {
    auto pPage = std::make_unique<CPropertyPage>(nDialog);
    pPage->setFont(DialogFont());
    pPage->Create();
    return pPage;
}

TEST(DialogResourcesTest, LabelTextsFitTheirControls) {
    const std::pair<int, const char*> texts[] = {{IDD_WELCOME, "Welcome to Orvanta v2.3"},
                                                 {IDD_FILE, "Select a upgrading file:"},
                                                 {IDD_TRANSFER, "Time ellapsed:"},
                                                 {IDD_TRANSFER, "Total progress"}};
    for (const auto& [nDialog, pszText] : texts) {
        SCOPED_TRACE(pszText);
        auto pPage = BuiltPage(nDialog);
        QLabel* pLabel = nullptr;
        for (QLabel* p : pPage->findChildren<QLabel*>()) {
            pLabel = p->text() == pszText ? p : pLabel;
        }
        ASSERT_NE(pLabel, nullptr);
        const int nFlags = int(pLabel->alignment()) | (pLabel->wordWrap() ? Qt::TextWordWrap : 0);
        const QSize needed =
            pLabel->fontMetrics().boundingRect(pLabel->rect(), nFlags, pszText).size();
        EXPECT_TRUE(needed.width() <= pLabel->width() && needed.height() <= pLabel->height());
    }
}

TEST(DialogResourcesTest, TabOrderFollowsTheTableDonePicturesOverlap) {
    auto pPage = BuiltPage(IDD_LINK);
    std::vector<QWidget*> expected;  // the focusable controls in table order
    for (const BuiltControl& control : pPage->Controls()) {
        if (control.pWidget->focusPolicy() & Qt::TabFocus) {
            expected.push_back(control.pWidget);
        }
    }
    ASSERT_EQ(expected.size(), 5u);  // the three link types, port and baud rate
    std::vector<QWidget*> chain{expected.front()};
    for (QWidget* p = expected.front()->nextInFocusChain(); p != expected.front();
         p = p->nextInFocusChain()) {
        if (std::find(expected.begin(), expected.end(), p) != expected.end()) {
            chain.push_back(p);
        }
    }
    EXPECT_EQ(chain, expected);

    auto pDone = BuiltPage(IDD_DONE);
    EXPECT_EQ(pDone->GetDlgItem(IDC_SUCCESS_PICTURE)->pos(),
              pDone->GetDlgItem(IDC_FAILURE_PICTURE)->pos());
}

}  // namespace
