// The wizard on a real X display (a private Xvfb) whose window is destroyed from outside, as a
// window manager or `xdotool windowclose` does: an upgrade under way finishes as it would with
// the window and the sheet then closes; with nothing under way it closes at once; the program
// then exits and says why.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>

#include "FilePage.h"
#include "LinkPage.h"
#include "PackageSegments.h"
#include "Resource.h"
#include "TestSupport.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"
#include "WizardTestSupport.h"

namespace {

std::string g_display;

// Destroys every top-level window on the display from a connection of its own, as a tool that
// closes all of a program's windows does.
void DestroyFromOutside() {
    xcb_connection_t* pConnection = xcb_connect(g_display.c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(pConnection), 0);
    const xcb_screen_t* pScreen = xcb_setup_roots_iterator(xcb_get_setup(pConnection)).data;
    xcb_query_tree_reply_t* pTree =
        xcb_query_tree_reply(pConnection, xcb_query_tree(pConnection, pScreen->root), nullptr);
    ASSERT_NE(pTree, nullptr);
    const xcb_window_t* pChildren = xcb_query_tree_children(pTree);
    for (int i = 0; i < xcb_query_tree_children_length(pTree); ++i) {
        // Checked, so that each is done before the connection goes.
        free(xcb_request_check(pConnection, xcb_destroy_window_checked(pConnection, pChildren[i])));
    }
    free(pTree);
    xcb_disconnect(pConnection);
}

// The number of top-level windows on the display.
int TopLevelWindows() {
    xcb_connection_t* pConnection = xcb_connect(g_display.c_str(), nullptr);
    const xcb_screen_t* pScreen = xcb_setup_roots_iterator(xcb_get_setup(pConnection)).data;
    xcb_query_tree_reply_t* pTree =
        xcb_query_tree_reply(pConnection, xcb_query_tree(pConnection, pScreen->root), nullptr);
    const int nCount = pTree != nullptr ? xcb_query_tree_children_length(pTree) : -1;
    free(pTree);
    xcb_disconnect(pConnection);
    return nCount;
}

const orvtest::TestFile kBoot{0x06, 0, 0, "Boot loader", {{0, 0, orvtest::PatternBytes(300, 1)}}};
const orvtest::TestFile kMain{
    0x0A, 0, 0, "Main program", {{0, 0x1000, orvtest::PatternBytes(9000, 2)}}};

TEST(WindowLostTest, AnUpgradeUnderWayFinishesThenTheSheetCloses) {
    ClearSettings();
    orvtest::CwdGuard cwd;  // the File page moves into the package's folder
    orvtest::TempDir dir;
    const QString package = WritePackage(dir.Path(), kBoot, kMain);
    const auto pSheet = std::make_unique<CUpgraderSheet>();
    pSheet->AddPages();
    pSheet->show();
    ASSERT_TRUE(WaitUntil([&] { return pSheet->GetActivePage() != nullptr; }));
    Press(*pSheet, win::ID_WIZNEXT);
    CProjectorProcess projector({"--baud", "115200", "--dump", dir / "dump"});  // paced: seconds
    Control<QLineEdit>(pSheet->GetFilePage(), IDC_FILENAME)->setText(package);
    Press(*pSheet, win::ID_WIZNEXT);
    Control<QComboBox>(pSheet->GetLinkPage(), IDC_COMPORT)->setEditText(projector.m_device);
    Press(*pSheet, win::ID_WIZNEXT);
    CTransferPage* pTransfer = pSheet->GetTransferPage();
    auto* pTotal = Control<QProgressBar>(pTransfer, IDC_TOTAL_PROGRESS);
    ASSERT_TRUE(WaitUntil([&] { return pTotal->value() > 0; }));
    DestroyFromOutside();
    DrainEvents();
    EXPECT_TRUE(pSheet->isVisible()) << "closed while the upgrade was under way";
    EXPECT_TRUE(pTransfer->IsTransferRunning());
    EXPECT_TRUE(WaitUntil([&] { return !pSheet->isVisible(); }, 120000));
    EXPECT_TRUE(pSheet->WindowLost());
    EXPECT_TRUE(pSheet->AttemptEnded());
    EXPECT_EQ(pTransfer->GetUpgradeResult(), 0);
    EXPECT_FALSE(pTransfer->IsTransferRunning());
    EXPECT_EQ(projector.Wait(30000).nExit, 0) << "the port was closed";
    EXPECT_EQ(orvtest::ReadBytes(dir / "dump/segment-2.bin"), orvtest::ExpectedSegment(kMain));
}

// The program itself: its window destroyed on the first page, it exits with status 0 and one
// line on stderr instead of running on without a window.
TEST(WindowLostProgram, ExitsAndSaysWhy) {
    orvtest::TempDir home;
    orvtest::CToolProcess wizard;
    ASSERT_TRUE(wizard.Start(ORVANTA_WIZARD, {},
                             {{"DISPLAY", g_display},
                              {"QT_QPA_PLATFORM", "xcb"},
                              {"HOME", home.Path().string()},
                              {"XDG_CONFIG_HOME", home / "config"}}));
    const int nBefore = TopLevelWindows();
    ASSERT_TRUE(WaitUntil([&] { return TopLevelWindows() > nBefore; }, 30000));
    // A window destroyed before the wizard watches it goes unnoticed, and how long a slow
    // machine takes to get there is not known: destroyed again until the program has ended
    // (a zombie, not yet reaped, so that Wait still gets its status).
    const std::string stat = "/proc/" + std::to_string(wizard.Pid()) + "/stat";
    auto ended = [&] { return orvtest::ReadText(stat).find(") Z ") != std::string::npos; };
    for (int i = 0; i < 20 && !ended(); ++i) {
        DestroyFromOutside();
        WaitUntil(ended, 2000);
    }
    const orvtest::ToolResult run = wizard.Wait(30000);
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_NE(run.err.find("orvanta: the window was closed from outside\n"), std::string::npos)
        << run.err;
}

}  // namespace

// A private X display for the whole run; the wizard tests under Qt's xcb platform on it.
int main(int argc, char* argv[]) {
    ::testing::InitGoogleTest(&argc, argv);
    orvtest::CToolProcess xvfb;
    if (!xvfb.Start("/usr/bin/Xvfb",
                    {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"})) {
        fprintf(stderr, "Xvfb did not start (scripts/install-deps installs it)\n");
        return 1;
    }
    const std::string number = xvfb.ReadLine(30000);
    if (number.empty()) {
        return 1;
    }
    g_display = ":" + number;
    QTemporaryDir home;
    setenv("DISPLAY", g_display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit().constData(), 1);
    int nResult = 1;
    {
        QApplication app(argc, argv);
        nResult = RUN_ALL_TESTS();
    }
    kill(xvfb.Pid(), SIGTERM);
    xvfb.Wait(10000);
    return nResult;
}
