// Driving the real wizard widgets: the event loop, the sheet's buttons, message boxes, the
// settings store, a two-file package and the simulated projector.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <functional>

#include "PropertyPage.h"
#include "PropertySheet.h"
#include "TestSupport.h"
#include "ToolRunner.h"

// Runs the event loop until pred() holds or nTimeoutMs have passed; returns pred().
inline bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < nTimeoutMs) {
        QTest::qWait(5);
    }
    return pred();
}

// Lets every posted event (button masks, queued signals) take effect.
inline void DrainEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// Clicks a sheet button and lets the result take effect; false if it is hidden or disabled.
inline bool Press(const CPropertySheet& sheet, int nButton) {
    QPushButton* pButton = sheet.GetDlgItem(nButton);
    if (!pButton->isVisible() || !pButton->isEnabled()) {
        return false;
    }
    pButton->click();
    DrainEvents();
    return true;
}

// Back, Next, Finish and Cancel as shown: upper case enabled, lower case disabled, '-' hidden.
inline std::string Buttons(const CPropertySheet& sheet) {
    std::string shown;
    for (auto [nId, c] : {std::pair{win::ID_WIZBACK, 'b'}, std::pair{win::ID_WIZNEXT, 'n'},
                          std::pair{win::ID_WIZFINISH, 'f'}, std::pair{win::IDCANCEL, 'c'}}) {
        const QPushButton* p = sheet.GetDlgItem(nId);
        shown += !p->isVisible() ? '-' : p->isEnabled() ? char(toupper(c)) : c;
    }
    return shown;
}

template <class T>
T* Control(const CPropertyPage* pPage, int nId) {
    return qobject_cast<T*>(pPage->GetDlgItem(nId));
}

// Closes every message box with OK while it lives, recording its title and text.
class CBoxAnswerer {
public:
    CBoxAnswerer() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                m_titles << pBox->windowTitle();
                m_texts << pBox->text();
                pBox->accept();
            }
        });
        m_timer.start(10);
    }
    QStringList m_titles, m_texts;

private:
    QTimer m_timer;
};

// Writes package.inf naming boot.hex (key File) and main.hex (key ExecuteFile), of these files,
// into folder; returns its path.
inline QString WritePackage(const std::string& folder, const orvtest::TestFile& boot,
                            const orvtest::TestFile& main) {
    orvtest::WriteFile(folder + "/boot.hex", orvtest::MakeHexText(boot.loads));
    orvtest::WriteFile(folder + "/main.hex", orvtest::MakeHexText(main.loads));
    orvtest::WriteFile(folder + "/package.inf",
                       "[Version]\r\nFlashWrite = Enable\r\nReset = Enable\r\n"
                       "[DownloadFiles]\r\nFile=boot.hex\r\nExecuteFile=main.hex\r\n"
                       "[FileDescription]\r\nboot.hex=Boot loader\r\nmain.hex=Main program\r\n");
    return QString::fromStdString(folder + "/package.inf");
}

inline void ClearSettings() {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Helmvik", "Orvanta");
    store.clear();
    store.sync();
}

// orvanta-projector as every test starts it, its device as the widgets take it.
struct CProjectorProcess : orvtest::CSimulatedProjector {
    using orvtest::CSimulatedProjector::CSimulatedProjector;
    QString m_device = QString::fromStdString(orvtest::CSimulatedProjector::m_device);
};
