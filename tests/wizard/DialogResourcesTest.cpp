// The program's dialogs, pictures, strings and message box, as built.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "DialogTemplate.h"
#include "MessageBox.h"
#include "Pictures.h"
#include "PropertyPage.h"
#include "Resource.h"
#include "StringTable.h"
#include "WizardTestSupport.h"

namespace {

// A page of one of the program's dialogs, built in the dialog font.
std::unique_ptr<CPropertyPage> BuiltPage(int nDialog) {
    auto pPage = std::make_unique<CPropertyPage>(nDialog);
    pPage->setFont(DialogFont());
    pPage->Create();
    return pPage;
}

TEST(DialogResourcesTest, EveryDialogHasItsControlsInOrder) {
    struct Case {
        int nDialog;
        const char* pszCaption;
        std::vector<int> ids;
    };
    const Case cases[] = {
        {IDD_WELCOME, "Firmware upgrade wizard", {IDC_STATIC, IDC_STATIC, IDC_STATIC}},
        {IDD_FILE, "Select file", {IDC_FILENAME, IDC_STATIC, IDC_BROWSE, IDC_STATIC}},
        {IDD_LINK,
         "Select link type",
         {IDC_RADIO_USB, IDC_RADIO_RS232, IDC_RADIO_BINFILE, IDC_COMPORT, IDC_BAUDRATE,
          IDC_LINK_GROUP, IDC_STATIC, IDC_STATIC}},
        {IDD_TRANSFER,
         "Upgrading",
         {IDC_STATIC, IDC_SEGMENT_PROGRESS, IDC_STATUS, IDC_STATIC, IDC_ELAPSED, IDC_TOTAL_PROGRESS,
          IDC_STATIC, IDC_FEEDBACK}},
        {IDD_DONE, "Done", {IDC_RESULT, IDC_SUCCESS_PICTURE, IDC_FAILURE_PICTURE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nDialog);
        const DialogTemplate* pDialog = FindDialogTemplate(c.nDialog);
        ASSERT_NE(pDialog, nullptr);
        EXPECT_STREQ(pDialog->pszCaption, c.pszCaption);
        auto pPage = BuiltPage(c.nDialog);
        std::vector<int> ids;
        for (const BuiltControl& control : pPage->Controls()) ids.push_back(control.nId);
        EXPECT_EQ(ids, c.ids);
    }
    EXPECT_EQ(FindDialogTemplate(109), nullptr);
}

TEST(DialogResourcesTest, TextsAreVerbatimAndFitTheirControls) {
    const std::pair<int, const char*> texts[] = {
        {IDD_WELCOME, "Welcome to Orvanta v2.3"},
        {IDD_WELCOME, "This will upgrade the firmware on your projector. "},
        {IDD_FILE, "Select a upgrading file:"},
        {IDD_TRANSFER, "Time ellapsed:"},
        {IDD_TRANSFER, "Total progress"},
    };
    for (const auto& [nDialog, pszText] : texts) {
        SCOPED_TRACE(pszText);
        auto pPage = BuiltPage(nDialog);
        QLabel* pFound = nullptr;
        for (QLabel* pLabel : pPage->findChildren<QLabel*>()) {
            if (pLabel->text() == pszText) pFound = pLabel;
        }
        ASSERT_NE(pFound, nullptr);
        const int nFlags = int(pFound->alignment()) | (pFound->wordWrap() ? Qt::TextWordWrap : 0);
        const QRect needed =
            QFontMetrics(pFound->font())
                .boundingRect(QRect(0, 0, pFound->width(), 10000), nFlags, pFound->text());
        EXPECT_LE(needed.width(), pFound->width());
        EXPECT_LE(needed.height(), pFound->height());
    }
    auto pLink = BuiltPage(IDD_LINK);
    EXPECT_EQ(qobject_cast<QGroupBox*>(pLink->GetDlgItem(IDC_LINK_GROUP))->title(),
              "Select link type");
    auto pFile = BuiltPage(IDD_FILE);
    EXPECT_EQ(qobject_cast<QPushButton*>(pFile->GetDlgItem(IDC_BROWSE))->text(), "Browse...");
}

TEST(DialogResourcesTest, CombosListSortedAndTabOrderFollowsTheTable) {
    auto pPage = BuiltPage(IDD_LINK);
    auto* pBaud = qobject_cast<QComboBox*>(pPage->GetDlgItem(IDC_BAUDRATE));
    ASSERT_NE(pBaud, nullptr);
    ASSERT_EQ(pBaud->count(), 2);
    EXPECT_EQ(pBaud->itemText(0), "115200");
    EXPECT_EQ(pBaud->itemText(1), "57600");
    auto* pPort = qobject_cast<QComboBox*>(pPage->GetDlgItem(IDC_COMPORT));
    ASSERT_EQ(pPort->count(), 4);
    EXPECT_EQ(pPort->itemText(0), "COM1");
    EXPECT_EQ(pPort->itemText(3), "COM4");
    EXPECT_TRUE(pPort->isEditable());

    // Walking the focus chain meets the focusable controls in table order.
    std::vector<QWidget*> expected;
    for (const BuiltControl& control : pPage->Controls()) {
        if (control.pWidget->focusPolicy() & Qt::TabFocus) expected.push_back(control.pWidget);
    }
    ASSERT_EQ(expected.size(), 5u);
    std::vector<QWidget*> chain;
    for (QWidget* pWidget = expected.front()->nextInFocusChain(); chain.size() < 4;
         pWidget = pWidget->nextInFocusChain()) {
        if (std::find(expected.begin(), expected.end(), pWidget) != expected.end())
            chain.push_back(pWidget);
        if (pWidget == expected.front()) break;
    }
    EXPECT_EQ(chain, std::vector<QWidget*>(expected.begin() + 1, expected.end()));
}

TEST(DialogResourcesTest, PicturesTakeTheirPixelSizeAndTheDonePicturesOverlap) {
    const std::pair<int, QSize> sizes[] = {
        {IDB_WELCOME, {100, 100}},  {IDB_FILE, {130, 100}},  {IDB_LINK, {80, 110}},
        {IDB_TRANSFER, {120, 120}}, {IDB_FAILURE, {73, 64}}, {IDB_SUCCESS, {68, 94}},
    };
    for (const auto& [nBitmap, size] : sizes) {
        SCOPED_TRACE(nBitmap);
        const QPixmap picture = LoadBitmap(nBitmap);
        EXPECT_EQ(picture.deviceIndependentSize().toSize(), size);
        // The artwork is drawn: not every pixel is transparent.
        const QImage image = picture.toImage();
        bool bDrawn = false;
        for (int y = 0; y < image.height() && !bDrawn; y += 4)
            for (int x = 0; x < image.width() && !bDrawn; x += 4)
                bDrawn = qAlpha(image.pixel(x, y)) != 0;
        EXPECT_TRUE(bDrawn);
    }
    EXPECT_TRUE(LoadBitmap(999).isNull());

    auto pWelcome = BuiltPage(IDD_WELCOME);
    EXPECT_EQ(pWelcome->Controls().front().pWidget->size(), QSize(100, 100));
    auto pDone = BuiltPage(IDD_DONE);
    QWidget* pSuccess = pDone->GetDlgItem(IDC_SUCCESS_PICTURE);
    QWidget* pFailure = pDone->GetDlgItem(IDC_FAILURE_PICTURE);
    EXPECT_EQ(pSuccess->pos(), pFailure->pos());
    EXPECT_EQ(pSuccess->size(), QSize(68, 94));
    EXPECT_EQ(pFailure->size(), QSize(75, 66));  // the sunken border around 73 x 64
}

TEST(DialogResourcesTest, StringTable) {
    const std::pair<int, const char*> strings[] = {
        {103, "Orvanta"},
        {104, "Upgrade successful!"},
        {105, "File not found. Please check the path and filename."},
        {106, "The input file is not valid."},
        {107, "The inf file is corrupt. Please try another file."},
        {108, "USB Failed"},
        {109, "Serial failed"},
        {110, "Projector canceled connection."},
        {111, "Software\\Helmvik\\Orvanta"},
        {112, ""},
        {113, "Flash filename"},
        {114, "ComPort"},
        {115, "Baudrate"},
        {116, "Link"},
        {117, ""},
    };
    for (const auto& [nId, pszText] : strings) EXPECT_EQ(LoadString(nId), pszText) << nId;
}

TEST(DialogResourcesTest, MessageBoxIsTitledWithTheProgramName) {
    EXPECT_EQ(AfxGetAppName(), QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QMessageBox::StandardButtons buttons;
    CModalAnswerer answerer;
    QTimer::singleShot(0, [&] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            buttons = pBox->standardButtons();
    });
    AfxMessageBox("Port already open (by another application) or does not exist!");
    ASSERT_EQ(answerer.m_texts.size(), 1);
    EXPECT_EQ(answerer.m_texts[0], "Port already open (by another application) or does not exist!");
    EXPECT_EQ(answerer.m_titles[0], AfxGetAppName());
    EXPECT_EQ(buttons, QMessageBox::Ok);
}

}  // namespace
