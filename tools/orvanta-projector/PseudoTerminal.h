// CPseudoTerminal: the projector's end of a pseudo-terminal pair.
//
// Open() makes a master, puts the other end (the device the sender opens) in raw mode and
// closes it again, so that the master reports hang-up (POLLHUP, reads fail with EIO) exactly
// while no sender holds the device: that is how the projector sees a sender come and go. The
// projector must not write while nobody holds the device, because the bytes would wait in the
// device's input and reach the next opener. The raw settings stay with the device while the
// master is open. Close() closes the master, which hangs up the sender's side.
#pragma once

#include <string>

class CPseudoTerminal {
public:
    CPseudoTerminal() = default;
    CPseudoTerminal(const CPseudoTerminal&) = delete;
    CPseudoTerminal& operator=(const CPseudoTerminal&) = delete;
    // Closes the master and removes the link.
    ~CPseudoTerminal();

    // true with the master open (non-blocking) and the device path known; false with the
    // reason in strError and nothing left open.
    bool Open(std::string& strError);
    // Makes strLinkPath a symbolic link to the device. An existing symbolic link there is
    // replaced; any other file makes it fail (false, the reason in strError).
    bool Link(const std::string& strLinkPath, std::string& strError);
    // Replaces the pair with a fresh one (made first, so a failure leaves the old one as it
    // was) and points the link, if any, at the new device in one step. A sender that was
    // killed while holding the device can leave it marked exclusive, which refuses every
    // later ordinary opener; a new device carries no mark.
    bool Renew(std::string& strError);
    // Closes the master (the sender's side is hung up) and removes the link if it still
    // points to this device. Safe to call more than once.
    void Close();

    int MasterFd() const { return m_nMaster; }
    const std::string& DevicePath() const { return m_strDevice; }

private:
    int m_nMaster = -1;
    std::string m_strDevice;
    std::string m_strLink;  // made by Link(), removed by Close()
};
