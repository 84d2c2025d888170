// Helpers for driving the real wizard widgets in tests: waiting on the event loop, answering
// modal dialogs, and writing packages into temporary folders.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

// Runs the event loop until pred() holds or nTimeoutMs have passed; returns pred().
bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs = 30000);
// Lets every posted event (button masks, queued signals) take effect.
void DrainEvents();

// Answers modal dialogs while it lives: message boxes are recorded (title and text) and
// closed with OK; any other modal widget is handed to the callback, which closes it. One that
// is still open after 10 s is rejected here (m_bGaveUp), so a test fails instead of hanging.
class CModalAnswerer {
public:
    using Handler = std::function<void(QWidget*)>;
    explicit CModalAnswerer(Handler handler = {});
    ~CModalAnswerer();
    CModalAnswerer(const CModalAnswerer&) = delete;
    CModalAnswerer& operator=(const CModalAnswerer&) = delete;

    QStringList m_titles;
    QStringList m_texts;
    bool m_bGaveUp = false;  // a modal widget stayed open too long and was closed here

private:
    struct Impl;
    Impl* m_pImpl;
};

// Removes every stored setting.
void ClearSettings();

void WriteFile(const QString& path, const std::string& bytes);
std::string ReadFile(const QString& path);

// Intel HEX text of data placed at the 16-bit address, 16 bytes a line, with an EOF record.
std::string HexText(uint16_t nAddress, const std::vector<uint8_t>& data);

// Writes a package into folder: "package.inf" naming boot.hex (key File) and main.hex (key
// ExecuteFile) with descriptions, FlashWrite and Reset enabled. Returns the script's path.
QString WritePackage(const QString& folder, const std::vector<uint8_t>& boot,
                     const std::vector<uint8_t>& main);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> TestBytes(size_t nCount, uint32_t nSeed);
