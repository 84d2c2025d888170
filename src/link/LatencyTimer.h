// CLatencyTimer: the receive latency timer of a USB serial adapter, as its driver shows it in
// sysfs. The common adapter chips hold received bytes until their buffer fills or the timer
// runs out (16 ms by default) before passing them to the host; a stop-and-wait protocol pays
// that on every answer, so the port lowers it to 1 ms while it is open and puts the old value
// back when it closes.
//
// The timer of a device NAME is the file SYSFS/class/tty/NAME/device/latency_timer, a decimal
// number of milliseconds (1 to 255); only adapters whose driver offers it have the file. NAME
// is the device path's last component after symbolic links are resolved, so
// /dev/serial/by-id/... finds its ttyUSBn. The sysfs root is a parameter so that the class
// works on any tree laid out the same way; it only reads and writes that one file.
//
// One object serves one open port: Lower remembers the value it replaced and Restore writes
// it back. Not thread-safe; the port's user-interface thread owns it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

class CLatencyTimer {
public:
    explicit CLatencyTimer(std::filesystem::path sysfsRoot);

    // The attribute file for the device, whether or not it exists.
    std::filesystem::path AttributePath(const std::string& devicePath) const;
    // The device's timer in milliseconds; nullopt when it has none or the file does not hold
    // a number from 0 to 255.
    std::optional<int> Read(const std::string& devicePath) const;

    enum class Outcome {
        NONE,       // the device has no timer (not an adapter that offers one)
        UNCHANGED,  // already at or below the target
        SET,        // lowered; Restore puts the old value back
        REFUSED,    // the file could not be written (strReason says why)
    };
    struct Result {
        Outcome outcome = Outcome::NONE;
        int nBefore = -1;  // the timer found, -1 for none
        int nAfter = -1;   // the timer now, -1 for none
        std::string strReason;
    };
    // Sets the device's timer to nMs when it has one above that, and reads it back. Forgets
    // what an earlier Lower remembered only after a successful Restore.
    Result Lower(const std::string& devicePath, int nMs);
    // Writes back the value the last successful Lower replaced. true when there was nothing
    // to put back or it was written; false with strReason set otherwise (the value is then
    // forgotten all the same: the device may be gone).
    bool Restore(std::string& strReason);

private:
    std::filesystem::path m_root;
    std::filesystem::path m_changed;  // the file Lower wrote, empty when nothing to restore
    int m_nSaved = -1;
};
