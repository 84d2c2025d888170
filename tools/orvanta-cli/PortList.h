// The serial ports present on this machine, as a technician needs them to pick the adapter:
// the devices SerialDevices.h finds in sysfs with what a USB adapter says of itself
// (description, manufacturer, serial number, USB ids), completed from the udev database where
// there is one (its names for adapters that give none), the stable name udev gives a USB
// adapter under /dev/serial/by-id (the same for the same adapter whatever order it was plugged
// in), the adapter's latency timer, and whether this user may open the device.
//
// For tests, ORVANTA_TEST_PORTS (device paths separated by ':', empty for none) replaces the
// enumeration and ORVANTA_TEST_BY_ID_DIR replaces /dev/serial/by-id.
#pragma once

#include <string>
#include <vector>

struct SerialPortEntry {
    std::string strDevice;       // "/dev/ttyUSB0"
    std::string strStableName;   // "/dev/serial/by-id/usb-…", or empty
    std::string strDescription;  // the following three may be empty
    std::string strManufacturer;
    std::string strSerialNumber;
    int nVendorId = -1;  // USB ids; -1 when not known
    int nProductId = -1;
    bool bUsb = false;            // a USB serial adapter (USB ids or a "usb-" stable name)
    bool bAccessible = false;     // this user may open it for reading and writing
    std::string strAccessReason;  // why not, for a person ("join the group dialout ...")
    std::string strGroup;         // the device's group, when access is refused
    int nLatencyTimerMs = -1;     // a USB adapter's latency timer (LatencyTimer.h); -1: none
};

// Above this the adapter's latency timer visibly slows an upgrade (each answer waits for it).
constexpr int kLatencyTimerWarnMs = 2;

// Every port present, sorted by device path.
std::vector<SerialPortEntry> ListSerialPorts();

// The port to use when none was given: $ORVANTA_PORT when set and not empty, else the one USB
// serial adapter present. Returns true with port set and strNote saying where it came from
// ("using /dev/ttyUSB0, the only USB serial adapter"); false with strError listing what is
// present when there is none or more than one.
bool ChooseDefaultPort(std::string& port, std::string& strNote, std::string& strError);
