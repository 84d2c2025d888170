#include "PortList.h"

#include <grp.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "LatencyTimer.h"
#include "SerialDevices.h"

namespace {

constexpr char BY_ID_DIR[] = "/dev/serial/by-id";

std::vector<std::string> SplitPaths(const std::string& text) {
    std::vector<std::string> paths;
    size_t nStart = 0;
    while (nStart <= text.size()) {
        const size_t nEnd = std::min(text.find(':', nStart), text.size());
        if (nEnd > nStart) {
            paths.push_back(text.substr(nStart, nEnd - nStart));
        }
        nStart = nEnd + 1;
    }
    return paths;
}

// Device path (links resolved) → its stable name; of two links to one device the first in name
// order, whatever order the folder is read in.
std::map<std::string, std::string> StableNames() {
    const char* pDir = std::getenv("ORVANTA_TEST_BY_ID_DIR");
    std::map<std::string, std::string> names;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(pDir != nullptr ? pDir : BY_ID_DIR, error)) {
        const std::filesystem::path target = std::filesystem::canonical(entry.path(), error);
        if (!error) {
            auto [it, bInserted] = names.emplace(target.string(), entry.path().string());
            if (!bInserted && entry.path().string() < it->second) {
                it->second = entry.path().string();
            }
        }
    }
    return names;
}

bool InGroup(gid_t nGroup) {
    if (getegid() == nGroup) {
        return true;
    }
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(n, 0), nGroup) !=
           groups.begin() + std::max(n, 0);
}

// Whether the user's account (not this session) lists the group, by name.
bool AccountInGroup(const group& entry) {
    const char* pUser = std::getenv("USER");
    for (char** ppMember = entry.gr_mem; pUser != nullptr && *ppMember != nullptr; ++ppMember) {
        if (std::strcmp(*ppMember, pUser) == 0) {
            return true;
        }
    }
    return false;
}

void CheckAccess(SerialPortEntry& port) {
    if (access(port.strDevice.c_str(), R_OK | W_OK) == 0) {
        port.bAccessible = true;
        return;
    }
    const int nError = errno;
    struct stat info {};
    const group* pGroup =
        stat(port.strDevice.c_str(), &info) == 0 ? getgrgid(info.st_gid) : nullptr;
    if (nError != EACCES || pGroup == nullptr || InGroup(info.st_gid)) {
        port.strAccessReason = std::strerror(nError);
        return;
    }
    port.strGroup = pGroup->gr_name;
    port.strAccessReason =
        AccountInGroup(*pGroup)
            ? "you are in the group " + port.strGroup + " but this session is not: log in again"
            : "join the group " + port.strGroup + " (sudo adduser $USER " + port.strGroup +
                  ", then log in again)";
}

// The udev database, where the machine keeps one (a container may not), for what sysfs leaves
// empty: the hardware database's vendor and model names of adapters that do not name
// themselves, and the serial number udev read.
class CUdevNames {
public:
    CUdevNames() : m_pUdev(udev_new(), udev_unref) {}

    // Fills the fields of port that are still empty from the database's entry for the tty.
    void Complete(const std::string& name, SerialPortEntry& port) const {
        if (m_pUdev == nullptr) {
            return;
        }
        const std::unique_ptr<udev_device, decltype(&udev_device_unref)> pDevice(
            udev_device_new_from_subsystem_sysname(m_pUdev.get(), "tty", name.c_str()),
            udev_device_unref);
        if (pDevice == nullptr) {
            return;
        }
        const auto fill = [&](std::string& field, const char* pProperty) {
            const char* pValue = udev_device_get_property_value(pDevice.get(), pProperty);
            if (field.empty() && pValue != nullptr) {
                field = pValue;
            }
        };
        fill(port.strDescription, "ID_MODEL_FROM_DATABASE");
        fill(port.strManufacturer, "ID_VENDOR_FROM_DATABASE");
        fill(port.strSerialNumber, "ID_SERIAL_SHORT");
    }

private:
    std::unique_ptr<udev, decltype(&udev_unref)> m_pUdev;
};

SerialPortEntry EntryOf(const std::string& device, const SerialDevice* pFound,
                        const std::map<std::string, std::string>& stableNames,
                        const CUdevNames& udevNames) {
    SerialPortEntry port;
    port.strDevice = device;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(port.strDevice, error);
    if (const auto it = stableNames.find(error ? port.strDevice : target.string());
        it != stableNames.end()) {
        port.strStableName = it->second;
    }
    if (pFound != nullptr) {
        port.strDescription = pFound->strModel;
        port.strManufacturer = pFound->strMaker;
        port.strSerialNumber = pFound->strSerialNumber;
        port.nVendorId = pFound->nVendorId;
        port.nProductId = pFound->nProductId;
        udevNames.Complete(pFound->strName, port);
    }
    port.bUsb = port.nVendorId >= 0 ||
                std::filesystem::path(port.strStableName).filename().string().starts_with("usb-");
    CheckAccess(port);
    port.nLatencyTimerMs = CLatencyTimer("/sys").Read(port.strDevice).value_or(-1);
    return port;
}

std::string Listing(const std::vector<SerialPortEntry>& ports) {
    std::string text;
    for (const SerialPortEntry& port : ports) {
        text += (text.empty() ? "" : ", ") + port.strDevice + (port.bUsb ? " (USB)" : "");
    }
    return text.empty() ? "no serial port is present" : "present: " + text;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts() {
    const std::map<std::string, std::string> stableNames = StableNames();
    const std::vector<SerialDevice> devices = ListSerialDevices("/");
    const CUdevNames udevNames;
    std::vector<SerialPortEntry> ports;
    if (const char* pTestPorts = std::getenv("ORVANTA_TEST_PORTS"); pTestPorts != nullptr) {
        // A path given names a device of the machine when it leads to that device's node.
        for (const std::string& path : SplitPaths(pTestPorts)) {
            std::error_code error;
            const std::string target = std::filesystem::canonical(path, error).string();
            const auto it = std::find_if(devices.begin(), devices.end(), [&](const auto& d) {
                return !error && d.strDevice == target;
            });
            ports.push_back(
                EntryOf(path, it != devices.end() ? &*it : nullptr, stableNames, udevNames));
        }
    } else {
        for (const SerialDevice& device : devices) {
            ports.push_back(EntryOf(device.strDevice, &device, stableNames, udevNames));
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a.strDevice < b.strDevice; });
    return ports;
}

bool ChooseDefaultPort(std::string& port, std::string& strNote, std::string& strError) {
    if (const char* pPort = std::getenv("ORVANTA_PORT"); pPort != nullptr && *pPort != '\0') {
        port = pPort;
        strNote = "using " + port + " from ORVANTA_PORT";
        return true;
    }
    const std::vector<SerialPortEntry> ports = ListSerialPorts();
    const auto nUsb = std::count_if(ports.begin(), ports.end(), [](auto& p) { return p.bUsb; });
    if (nUsb == 1) {
        port = std::find_if(ports.begin(), ports.end(), [](auto& p) { return p.bUsb; })->strDevice;
        strNote = "using " + port + ", the only USB serial adapter";
        return true;
    }
    strError =
        std::string(nUsb == 0 ? "no USB serial adapter found" : "several USB serial adapters") +
        ": give --port PORT or set ORVANTA_PORT (" + Listing(ports) + ")";
    return false;
}
