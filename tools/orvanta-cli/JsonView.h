// CJsonView: the --json form of a `send` run (SendRun.h): one JSON object a line on stdout and
// nothing else there. Every object has "event" (start, waiting, file, progress, resend,
// message, done, in the order they happen), "port" and "ms" (since the run began); each port's
// last line is its one done, whatever ended its attempt. Progress comes at most about ten
// times a second per port. Fields: docs/orvanta-cli.md.
//
// The JSON is written by Debian's nlohmann-json, one compact line an event, keys in sorted
// order; text from the package is taken as info --json takes it (JsonOutput.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SendRun.h"

class CJsonView : public ISendView {
public:
    CJsonView(const SendOptions& options, size_t nPorts)
        : m_options(options), m_lastProgressMs(nPorts, 0), m_bAnyProgress(nPorts, false) {}

    void Start(const PortState& port, uint64_t nNowMs) override;
    void Waiting(const PortState& port, uint64_t nNowMs) override;
    void FileStarted(const PortState& port, uint64_t nNowMs) override;
    void BlockSent(const PortState& port, uint64_t nNowMs) override;
    void SenderEvent(const PortState& port, const CSenderEvent& event, uint64_t nNowMs) override;
    void Message(const PortState& port, const std::string& strText, uint64_t nNowMs) override;
    void Ended(const PortState& port, uint64_t nNowMs) override;
    void Cancelled(const PortState& port, uint64_t nNowMs) override;

private:
    const SendOptions& m_options;
    std::vector<uint64_t> m_lastProgressMs;  // by port, in the order of options.portNames
    std::vector<bool> m_bAnyProgress;
};

// For each port named, the done line alone: the package did not load (nResult, strDetail).
void WriteJsonLoadFailure(const SendOptions& options, int nResult, const std::string& strDetail);
