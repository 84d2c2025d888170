// CTransferPage: the wizard page that runs one upgrade attempt each time it is entered.
//
// Entering the page resets the result to 0, shows only a disabled Finish (Cancel stays
// usable), and loads the package that the File page names (LoadPackage: results 1, 2, 3 with
// a detail line naming the file and the reason). Then it acts on the Link page's choice:
//   - RS-232: the image goes to the upgrade session, whose first segment's description shows
//     as the status, and the port opens. When the port fails (its message follows in a box)
//     the result is 5. Otherwise the page is shown with both bars at 0; until the projector's
//     first request the feedback line says that the page waits for it; later it says when
//     an answer is overdue ("No answer from the projector for N s", from 3 s) and, between
//     files, that the projector is writing the file just sent. The elapsed time runs from the
//     start of the attempt to its end, once a second as well as with each block. The session
//     carries the transfer, and when it ends the page takes its result and detail and turns
//     the sheet to the Done page.
//   - BIN file: the image is written, complemented, to test.bin in the user's home folder;
//     a write that fails gives result 1 with a detail line.
//   - USB, or no choice: the page is shown and stays idle; only Cancel leaves it.
// Whenever the attempt ends before a transfer starts, the page refuses the entry and the
// sheet passes on to the Done page, which shows GetUpgradeResult.
//
// Cancel, Escape and closing the window: before the first packet has gone out they end the
// wizard at once. From the first packet until the attempt ends they ask first, in a box that
// leaves the upgrade running: "Continue upgrade" (the default, also Return and Escape)
// closes the box, "Stop upgrade" ends the wizard as Cancel does, closing the port. When the
// attempt ends while the box is shown, the box goes and the Done page follows.
//
// The page owns the session (port, reader thread, sender, image) through its pump; destroying
// the page closes the port.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>

#include "Failure.h"
#include "PropertyPage.h"
#include "SenderEvent.h"

class QProgressBar;
class CSessionPump;
class CUpgraderSheet;

class CTransferPage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CTransferPage(CUpgraderSheet* pSheet);
    ~CTransferPage() override;

    void DoDataExchange(CDataExchange* pDX) override;
    // Runs one attempt (above). TRUE while a transfer runs or the page idles; FALSE when the
    // attempt is already over.
    win::BOOL OnSetActive() override;

    // The result of the current (or last) attempt: 0 success, otherwise a failure code.
    int32_t GetUpgradeResult() const { return m_nResult; }
    // Cancel, Escape or close: TRUE while no packet of a running attempt has gone out;
    // otherwise FALSE, with the question box shown (above).
    win::BOOL OnQueryCancel() override;

    // How the last attempt ended: its result, cause and one detail line saying why it failed
    // (the file, the port, the projector), or after success how many blocks were sent again;
    // the detail is empty when there is nothing to say.
    const CFailure& GetFailure() const { return m_failure; }
    // Whether an attempt's transfer is under way (the port open, the projector not done).
    bool IsTransferRunning() const;
    // Closes the port if it is open, ending a transfer as Cancel does.
    void ClosePort();
    // The elapsed time as last shown ("%M:%S").
    QString GetElapsed() const { return m_strElapsed; }
    // The question box while it is shown, else null.
    QMessageBox* GetQuestion() const { return m_pQuestion; }

    // The file the BIN-file link writes: test.bin in the user's home folder.
    static QString BinFileOutputPath();

private:
    void OnProgress(unsigned nSegmentPos, unsigned nTotalPos);
    void OnTextsChanged(const QString& strElapsed, const QString& strStatus);
    void OnSenderEvent(const CSenderEvent& event);
    void OnFinished(const CFailure& result);
    // Ends the attempt before its transfer: the result and, when there is one, the detail.
    void SetFailure(int nResult, CFailure::Cause nCause, std::string strDetail = {});
    // Once a second while the attempt runs: the elapsed time and the waiting text.
    void OnWaitTick();

    QProgressBar* m_totalProgress = nullptr;
    QProgressBar* m_segmentProgress = nullptr;
    QString m_strElapsed;
    QString m_strStatus;
    QString m_strFeedback;  // the waiting text until the first request, then empty
    QTimer m_waitTimer;
    QPointer<QMessageBox> m_pQuestion;
    int32_t m_nResult = 0;
    CFailure m_failure;
    bool m_bPacketOut = false;
    std::unique_ptr<CSessionPump> m_pSession;
    CUpgraderSheet* m_pSheet;
};
