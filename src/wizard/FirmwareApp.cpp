#include "FirmwareApp.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "DonePage.h"
#include "Pictures.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"

namespace {

CUpgraderSheet* g_pLiveSheet = nullptr;

// Qt ends the process with exit() when the display goes away, from inside its event handling:
// the sheet is never deleted, so an upgrade under way is stopped here as Cancel would stop it.
void StopUpgradeAtExit() {
    if (g_pLiveSheet == nullptr) {
        return;
    }
    CTransferPage* pTransfer = g_pLiveSheet->GetTransferPage();
    if (pTransfer == nullptr || !pTransfer->IsTransferRunning()) {
        return;
    }
    pTransfer->ClosePort();
    std::fputs(
        "orvanta: the display went away during the upgrade: it was stopped and the port "
        "closed\n",
        stderr);
}

int ExitStatusFor(int32_t nResult) {
    if (nResult == 0) {
        return 0;
    }
    return nResult > 0 && nResult < 126 ? nResult : 1;
}

}  // namespace

win::BOOL CFirmwareApp::InitInstance() {
    static const bool bHooked = std::atexit(StopUpgradeAtExit) == 0;
    (void)bHooked;
    QApplication::setWindowIcon(AppIcon());
    auto pSheet = std::make_unique<CUpgraderSheet>();
    pSheet->AddPages();
    g_pLiveSheet = pSheet.get();
    pSheet->DoModal();
    g_pLiveSheet = nullptr;
    if (pSheet->WindowLost()) {
        const int32_t nResult =
            pSheet->AttemptEnded() ? pSheet->GetTransferPage()->GetUpgradeResult() : 0;
        m_nExitStatus = ExitStatusFor(nResult);
        const QString outcome = pSheet->AttemptEnded() ? QStringLiteral("; the upgrade ended: ") +
                                                             CDonePage::ResultMessage(nResult)
                                                       : QString();
        std::fprintf(stderr, "orvanta: the window was closed from outside%s\n",
                     qPrintable(outcome));
    }
    return win::FALSE;
}
