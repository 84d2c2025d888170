// A machine's serial devices as sysfs and /dev show them, built in a temporary folder: the root
// that SerialDevices.h and the Link page read instead of "/".
#pragma once

#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace orvtest {

class CSerialDeviceTree {
public:
    std::string Root() const { return m_dir.Path().string(); }

    // An on-board port of the serial core; nType 0 means no UART was found behind it.
    void AddUart(const std::string& name, int nType) {
        const std::string device = "sys/devices/platform/serial8250/tty/" + name;
        std::filesystem::create_directories(m_dir / device);
        Link("../../../../" + device, "sys/class/tty/" + name + "/device");
        m_dir.Write("sys/class/tty/" + name + "/type", std::to_string(nType) + "\n");
        m_dir.Write("dev/" + name, "");
    }
    // A USB adapter; byId empty for one without a stable name.
    void AddUsb(const std::string& name, const std::string& maker, const std::string& model,
                const std::string& byId) {
        const std::string usb = "sys/devices/pci0000:00/usb1/1-" + name;
        m_dir.Write(usb + "/idVendor", "0403\n");
        m_dir.Write(usb + "/manufacturer", maker + "\n");
        m_dir.Write(usb + "/product", model + "\n");
        std::filesystem::create_directories(m_dir / (usb + "/1-1:1.0/" + name));
        Link("../../../../" + usb + "/1-1:1.0/" + name, "sys/class/tty/" + name + "/device");
        m_dir.Write("dev/" + name, "");
        if (!byId.empty()) {
            Link("../../" + name, "dev/serial/by-id/" + byId);
        }
    }
    // Writes an attribute file of a USB adapter's USB device ("idProduct", "serial").
    void SetUsbAttribute(const std::string& name, const std::string& attribute,
                         const std::string& value) {
        m_dir.Write("sys/devices/pci0000:00/usb1/1-" + name + "/" + attribute, value + "\n");
    }
    // A tty without hardware behind it (a virtual console).
    void AddVirtual(const std::string& name) {
        std::filesystem::create_directories(m_dir / ("sys/class/tty/" + name));
        m_dir.Write("dev/" + name, "");
    }
    // Unplugs a device: its node, its by-id link and its sysfs entry go.
    void Remove(const std::string& name, const std::string& byId = "") {
        std::error_code error;
        std::filesystem::remove(m_dir / ("dev/" + name), error);
        if (!byId.empty()) {
            std::filesystem::remove(m_dir / ("dev/serial/by-id/" + byId), error);
        }
        std::filesystem::remove_all(m_dir / ("sys/class/tty/" + name), error);
    }

private:
    void Link(const std::string& target, const std::string& at) {
        std::filesystem::create_directories(std::filesystem::path(m_dir / at).parent_path());
        std::filesystem::create_directory_symlink(target, m_dir / at);
    }

    TempDir m_dir;
};

}  // namespace orvtest
