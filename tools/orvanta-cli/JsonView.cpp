#include "JsonView.h"

#include <cstdio>

#include "JsonOutput.h"
#include "JsonSchema.h"
#include "SendViews.h"

namespace {

using Json = nlohmann::json;

constexpr uint64_t PROGRESS_INTERVAL_MS = 100;

// Writes one event line for port; a reader that went away loses it, the upgrade goes on.
void Emit(const char* pEvent, const PortState& port, uint64_t nNowMs, Json fields) {
    fields["event"] = pEvent;
    fields["port"] = port.name;
    fields["ms"] = nNowMs;
    const std::string line = fields.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void EmitDone(const PortState& port, uint64_t nNowMs) {
    Emit("done", port, nNowMs,
         {{"result", port.failure.nResult},
          {"cause", CFailure::CauseName(port.failure.nCause)},
          {"text", port.ResultText()},
          {"detail",
           port.failure.strDetail.empty() ? Json(nullptr) : PackageText(port.failure.strDetail)},
          {"bytesSent", port.BytesSent()},
          {"elapsedSeconds", static_cast<double>(nNowMs) / 1000.0},
          {"resent", port.nResent}});
}

}  // namespace

void CJsonView::Start(const PortState& port, uint64_t nNowMs) {
    Emit("start", port, nNowMs,
         {{"schemaVersion", JSON_SCHEMA_VERSION},
          {"package", PackageText(m_options.packagePath)},
          {"baud", m_options.nBaudRate},
          {"files", port.nFiles},
          {"totalBytes", port.nTotalBytes},
          {"waitTimeoutSeconds",
           m_options.nWaitSeconds > 0 ? Json(m_options.nWaitSeconds) : Json(nullptr)}});
}

void CJsonView::Waiting(const PortState& port, uint64_t nNowMs) {
    Emit("waiting", port, nNowMs, {{"description", PackageText(port.description)}});
}

void CJsonView::FileStarted(const PortState& port, uint64_t nNowMs) {
    Emit("file", port, nNowMs,
         {{"index", port.nFile},
          {"files", port.nFiles},
          {"description", PackageText(port.description)},
          {"segmentBytes", port.nSegmentLength}});
}

void CJsonView::BlockSent(const PortState& port, uint64_t nNowMs) {
    const size_t i = port.nIndex;
    if (m_bAnyProgress[i] && nNowMs - m_lastProgressMs[i] < PROGRESS_INTERVAL_MS) {
        return;
    }
    m_bAnyProgress[i] = true;
    m_lastProgressMs[i] = nNowMs;
    Emit("progress", port, nNowMs,
         {{"bytesSent", port.BytesSent()},
          {"totalBytes", port.nTotalBytes},
          {"file", port.nFile},
          {"bytesPerSecond", static_cast<uint64_t>(port.BytesPerSecond(nNowMs))}});
}

void CJsonView::SenderEvent(const PortState& port, const CSenderEvent& event, uint64_t nNowMs) {
    const bool bSent = event.nKind == CSenderEvent::PACKET || event.nKind == CSenderEvent::EOT_SENT;
    if (!bSent || event.nWhy == CSenderEvent::FIRST) {
        return;
    }
    Emit("resend", port, nNowMs,
         {{"file", event.nFile},
          {"block", event.nKind == CSenderEvent::EOT_SENT ? Json("EOT") : Json(event.nBlock)},
          {"cause", ResendCause(event.nWhy)}});
}

void CJsonView::Message(const PortState& port, const std::string& strText, uint64_t nNowMs) {
    Emit("message", port, nNowMs, {{"text", strText}});
}

void CJsonView::Ended(const PortState& port, uint64_t nNowMs) {
    EmitDone(port, nNowMs);
}

void CJsonView::Cancelled(const PortState& port, uint64_t nNowMs) {
    EmitDone(port, nNowMs);
}

void WriteJsonLoadFailure(const SendOptions& options, int nResult, const std::string& strDetail) {
    std::vector<PortState> ports = MakePortStates(options.portNames, {});
    for (PortState& port : ports) {
        port.bEnded = true;
        port.failure = {nResult, CFailure::LOAD, {}, strDetail};
        EmitDone(port, 0);
    }
}
