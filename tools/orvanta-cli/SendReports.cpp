#include "SendReports.h"

#include <signal.h>

#include <QJsonDocument>
#include <cstdio>

#include "JsonSchema.h"
#include "PackageOpen.h"
#include "ResultText.h"

namespace {

constexpr uint64_t PROGRESS_INTERVAL_MS = 100;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CJsonEvents::CJsonEvents(uint64_t nTotalBytes, size_t nFiles)
    : m_nTotalBytes(nTotalBytes), m_nFiles(nFiles) {}

uint64_t CJsonEvents::NowMs() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - m_start)
                                     .count());
}

void CJsonEvents::Emit(const char* pEvent, QJsonObject fields) {
    if (m_bDone) {
        return;
    }
    fields["event"] = pEvent;
    if (!m_strPort.empty()) {
        fields["port"] = Text(m_strPort);
    }
    fields["ms"] = static_cast<qint64>(NowMs());
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
    // A reader that went away loses the events; the upgrade goes on.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

void CJsonEvents::Start(const std::string& package, const std::string& port, int nBaudRate,
                        long nWaitSeconds) {
    Emit("start",
         {{"schemaVersion", JSON_SCHEMA_VERSION},
          {"package", Text(package)},
          {"port", Text(port)},
          {"baud", nBaudRate},
          {"files", static_cast<qint64>(m_nFiles)},
          {"totalBytes", static_cast<qint64>(m_nTotalBytes)},
          {"waitTimeoutSeconds",
           nWaitSeconds > 0 ? QJsonValue(static_cast<qint64>(nWaitSeconds)) : QJsonValue()}});
}

void CJsonEvents::Waiting(const std::string& strDescription, uint64_t) {
    Emit("waiting", {{"description", Text(strDescription)}});
}

void CJsonEvents::SegmentStarted(const std::string& strDescription, uint32_t nSegmentLength,
                                 uint64_t) {
    if (m_nFile > 0) {
        m_nDoneBytes += m_nSegmentLength;
    } else {
        m_nFirstBlockMs = NowMs();
    }
    ++m_nFile;
    m_nSegmentLength = nSegmentLength;
    m_nSegmentSent = 0;
    Emit("file", {{"index", static_cast<qint64>(m_nFile)},
                  {"files", static_cast<qint64>(m_nFiles)},
                  {"description", Text(strDescription)},
                  {"segmentBytes", static_cast<qint64>(nSegmentLength)}});
}

void CJsonEvents::BlockSent(uint32_t nSegmentSent, uint32_t, uint64_t) {
    m_nSegmentSent = nSegmentSent;
    if (!m_bAnyProgress || NowMs() - m_nLastProgressMs >= PROGRESS_INTERVAL_MS) {
        Progress();
    }
}

void CJsonEvents::Progress() {
    const uint64_t nNowMs = NowMs();
    m_bAnyProgress = true;
    m_nLastProgressMs = nNowMs;
    const uint64_t nSent = m_nDoneBytes + m_nSegmentSent;
    const double dSeconds = static_cast<double>(nNowMs - m_nFirstBlockMs) / 1000.0;
    Emit("progress",
         {{"bytesSent", static_cast<qint64>(nSent)},
          {"totalBytes", static_cast<qint64>(m_nTotalBytes)},
          {"file", static_cast<qint64>(m_nFile)},
          {"bytesPerSecond",
           dSeconds > 0 ? static_cast<qint64>(static_cast<double>(nSent) / dSeconds) : 0}});
}

void CJsonEvents::Message(const std::string& strText) {
    const size_t nBreak = strText.find('\n');
    Emit("message", {{"text", Text(strText.substr(0, nBreak))},
                     {"detail", nBreak == std::string::npos ? QJsonValue()
                                                            : Text(strText.substr(nBreak + 1))}});
}

void CJsonEvents::Resent(uint32_t nFile, uint32_t nBlock, const char* pCause) {
    QJsonObject fields{{"file", static_cast<qint64>(nFile)}, {"cause", pCause}};
    fields["block"] = nBlock == 0 ? QJsonValue("EOT") : QJsonValue(static_cast<qint64>(nBlock));
    ++m_nResent;
    Emit("resend", fields);
}

void CJsonEvents::Ended(int nResult, const std::string& strDetail, uint32_t nResent, uint64_t) {
    if (nResult == RESULT_SUCCESS) {
        m_nDoneBytes += m_nSegmentLength;
        m_nSegmentSent = 0;
    }
    Emit("done", {{"result", nResult},
                  {"text", Text(ResultMessage(nResult))},
                  {"detail", strDetail.empty() ? QJsonValue() : QJsonValue(Text(strDetail))},
                  {"bytesSent", static_cast<qint64>(m_nDoneBytes + m_nSegmentSent)},
                  {"elapsedSeconds", static_cast<double>(NowMs()) / 1000.0},
                  {"resent", static_cast<qint64>(nResent)}});
    m_bDone = true;
}

void CJsonEvents::Cancelled(int nSignal, uint64_t) {
    Emit("done", {{"result", 128 + nSignal},
                  {"text", "Cancelled"},
                  {"detail", QString("signal ") + (nSignal == SIGHUP    ? "SIGHUP"
                                                   : nSignal == SIGTERM ? "SIGTERM"
                                                                        : "SIGINT")},
                  {"bytesSent", static_cast<qint64>(m_nDoneBytes + m_nSegmentSent)},
                  {"elapsedSeconds", static_cast<double>(NowMs()) / 1000.0},
                  {"resent", static_cast<qint64>(m_nResent)}});
    m_bDone = true;
}

void CQuietReport::Ended(int nResult, const std::string& strDetail, uint32_t, uint64_t) {
    if (nResult == RESULT_SUCCESS) {
        std::printf("%s\n", ResultMessage(RESULT_SUCCESS).c_str());
        std::fflush(stdout);
    } else {
        ReportFailure(nResult, strDetail);
    }
}

void CQuietReport::Cancelled(int, uint64_t) {
    std::fprintf(stderr, "Cancelled\n");
}
