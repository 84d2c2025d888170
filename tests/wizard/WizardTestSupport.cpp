#include "WizardTestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QWidget>

bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > nTimeoutMs) return false;
        QTest::qWait(5);
    }
    return true;
}

void DrainEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

struct CModalAnswerer::Impl {
    QTimer timer;
    QWidget* pSeen = nullptr;  // the modal widget met last, and since when
    QElapsedTimer seenFor;
};

// A modal widget the handler has not closed within this time is closed here, so that a test
// fails instead of waiting forever.
constexpr int kModalLimitMs = 10000;

CModalAnswerer::CModalAnswerer(Handler handler) : m_pImpl(new Impl) {
    m_pImpl->timer.setInterval(10);
    QObject::connect(&m_pImpl->timer, &QTimer::timeout, [this, handler] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr || !pModal->isVisible()) return;
        if (pModal != m_pImpl->pSeen) {
            m_pImpl->pSeen = pModal;
            m_pImpl->seenFor.start();
        } else if (m_pImpl->seenFor.elapsed() > kModalLimitMs) {
            m_bGaveUp = true;
            if (auto* pDialog = qobject_cast<QDialog*>(pModal)) {
                pDialog->reject();
            } else {
                pModal->close();
            }
            return;
        }
        if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
            m_titles << pBox->windowTitle();
            m_texts << pBox->text();
            pBox->accept();
        } else if (handler) {
            handler(pModal);
        }
    });
    m_pImpl->timer.start();
}

CModalAnswerer::~CModalAnswerer() {
    delete m_pImpl;
}

void ClearSettings() {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Helmvik", "Orvanta");
    store.clear();
    store.sync();
}

void WriteFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::string ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().toStdString();
}

std::string HexText(uint16_t nAddress, const std::vector<uint8_t>& data) {
    std::string text;
    char line[64];
    for (size_t i = 0; i < data.size(); i += 16) {
        const size_t nCount = std::min<size_t>(16, data.size() - i);
        const auto nLineAddress = static_cast<uint16_t>(nAddress + i);
        unsigned nSum = static_cast<unsigned>(nCount + (nLineAddress >> 8) + (nLineAddress & 0xFF));
        snprintf(line, sizeof line, ":%02zX%04X00", nCount, nLineAddress);
        text += line;
        for (size_t j = 0; j < nCount; ++j) {
            snprintf(line, sizeof line, "%02X", data[i + j]);
            text += line;
            nSum += data[i + j];
        }
        snprintf(line, sizeof line, "%02X\r\n", (0x100 - (nSum & 0xFF)) & 0xFF);
        text += line;
    }
    return text + ":00000001FF\r\n";
}

QString WritePackage(const QString& folder, const std::vector<uint8_t>& boot,
                     const std::vector<uint8_t>& main) {
    WriteFile(folder + "/boot.hex", HexText(0x0000, boot));
    WriteFile(folder + "/main.hex", HexText(0x1000, main));
    const QString script = folder + "/package.inf";
    WriteFile(script,
              "[Version]\r\nFlashWrite = Enable\r\nReset = Enable\r\n"
              "[DownloadFiles]\r\nFile=boot.hex\r\nExecuteFile=main.hex\r\n"
              "[FileDescription]\r\nboot.hex=Boot loader\r\nmain.hex=Main program\r\n");
    return script;
}

std::vector<uint8_t> TestBytes(size_t nCount, uint32_t nSeed) {
    std::vector<uint8_t> bytes(nCount);
    uint32_t x = nSeed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}
