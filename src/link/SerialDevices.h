// The serial devices present on this machine, as a port list needs them: the device node, the
// stable name udev gives it under /dev/serial/by-id (the same whichever order adapters were
// plugged in), and what a USB adapter reports of itself (maker, model, serial number, ids).
//
// Everything is read from the file system below a root folder ("/" on a running system):
// <root>/sys/class/tty for the devices and their USB parents, <root>/dev for the nodes and the
// by-id links. A test builds such a tree in a temporary folder. Nothing is opened but small
// sysfs attribute files; no device is touched.
//
// A device is present when its tty has a hardware parent (sys/class/tty/NAME/device), its node
// exists in dev/, and, for the UARTs of the serial core, the kernel found a UART behind it
// (the "type" attribute is not 0, PORT_UNKNOWN). Virtual consoles and pseudo-terminals have no
// hardware parent and are never listed.
#pragma once

#include <string>
#include <vector>

struct SerialDevice {
    std::string strName;          // "ttyUSB0"
    std::string strDevice;        // "/dev/ttyUSB0": the path on the system, without the root
    std::string strStableName;    // "/dev/serial/by-id/usb-…", or empty when it has none
    std::string strMaker;         // the USB adapter's manufacturer, or empty
    std::string strModel;         // the USB adapter's product, or empty
    std::string strSerialNumber;  // the USB adapter's serial number, or empty
    int nVendorId = -1;           // the USB adapter's vendor and product ids; -1 when unknown
    int nProductId = -1;
};

// The devices present below root, in natural order of their names (ttyS2 before ttyS10).
// Empty when root holds no such tree.
std::vector<SerialDevice> ListSerialDevices(const std::string& root = "/");

// Whether the device named (for example "ttyS0") is present below root, by the rule above.
bool SerialDevicePresent(const std::string& root, const std::string& name);

// One line on a device for a person: maker and model when known, and the node
// ("FTDI FT232R USB UART on /dev/ttyUSB0"); just the node otherwise.
std::string DescribeSerialDevice(const SerialDevice& device);
