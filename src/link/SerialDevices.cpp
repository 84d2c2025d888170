#include "SerialDevices.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

// The first line of a small attribute file, without trailing white space; empty when it
// cannot be read.
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

bool NaturalLess(const std::string& a, const std::string& b) {
    const size_t nA = a.find_last_not_of("0123456789") + 1;
    const size_t nB = b.find_last_not_of("0123456789") + 1;
    if (a.compare(0, nA, b, 0, nB) != 0 || nA == a.size() || nB == b.size()) {
        return a < b;
    }
    const std::string digitsA = a.substr(nA), digitsB = b.substr(nB);
    // Compared as numbers without converting, so that no length of digits can overflow.
    const size_t nLeadA = std::min(digitsA.find_first_not_of('0'), digitsA.size() - 1);
    const size_t nLeadB = std::min(digitsB.find_first_not_of('0'), digitsB.size() - 1);
    const std::string_view numA = std::string_view(digitsA).substr(nLeadA);
    const std::string_view numB = std::string_view(digitsB).substr(nLeadB);
    if (numA.size() != numB.size()) {
        return numA.size() < numB.size();
    }
    return numA < numB;
}

bool IsPresent(const fs::path& root, const std::string& name) {
    std::error_code error;
    if (name.empty() || name.find('/') != std::string::npos) {
        return false;
    }
    const fs::path tty = root / "sys/class/tty" / name;
    if (!fs::exists(tty / "device", error)) {
        return false;
    }
    if (!fs::exists(root / "dev" / name, error)) {
        return false;
    }
    return ReadAttribute(tty / "type") != "0";
}

// Node name → by-id link, from the links' targets (relative to the by-id folder or absolute
// below the root).
std::map<std::string, std::string> StableNames(const fs::path& root) {
    std::map<std::string, std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root / "dev/serial/by-id", error)) {
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (error) {
            continue;
        }
        const std::string node = target.filename().string();
        const std::string link = "/dev/serial/by-id/" + entry.path().filename().string();
        // Two links to one node: the first in name order, so the choice does not depend on
        // the order the folder is read in.
        auto [it, bInserted] = names.emplace(node, link);
        if (!bInserted && link < it->second) {
            it->second = link;
        }
    }
    return names;
}

// A USB id attribute ("0403"): four hex digits; -1 for anything else.
int ReadUsbId(const fs::path& path) {
    const std::string text = ReadAttribute(path);
    unsigned nValue = 0;
    const auto [pEnd, error] = std::from_chars(text.data(), text.data() + text.size(), nValue, 16);
    if (text.size() != 4 || error != std::errc() || pEnd != text.data() + text.size()) {
        return -1;
    }
    return static_cast<int>(nValue);
}

// What the USB device above a tty says of itself: the nearest parent folder in sysfs that
// carries idVendor, no higher than the root's sys folder.
void ReadUsbAttributes(const fs::path& root, const std::string& name, SerialDevice& device) {
    std::error_code error;
    const fs::path sys = fs::weakly_canonical(root / "sys", error);
    if (error) {
        return;
    }
    fs::path dir = fs::canonical(root / "sys/class/tty" / name / "device", error);
    for (int nDepth = 0; !error && nDepth < 16 && dir.has_relative_path(); ++nDepth) {
        const auto [itSys, itDir] = std::mismatch(sys.begin(), sys.end(), dir.begin(), dir.end());
        if (itSys != sys.end()) {
            return;  // left the sys folder
        }
        if (fs::exists(dir / "idVendor", error)) {
            device.strMaker = ReadAttribute(dir / "manufacturer");
            device.strModel = ReadAttribute(dir / "product");
            device.strSerialNumber = ReadAttribute(dir / "serial");
            device.nVendorId = ReadUsbId(dir / "idVendor");
            device.nProductId = ReadUsbId(dir / "idProduct");
            return;
        }
        dir = dir.parent_path();
    }
}

}  // namespace

bool SerialDevicePresent(const std::string& root, const std::string& name) {
    return IsPresent(root, name);
}

std::vector<SerialDevice> ListSerialDevices(const std::string& rootText) {
    const fs::path root(rootText);
    std::vector<SerialDevice> devices;
    std::error_code error;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
        const std::string name = entry.path().filename().string();
        if (IsPresent(root, name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    const std::map<std::string, std::string> stableNames = StableNames(root);
    for (const std::string& name : names) {
        SerialDevice device;
        device.strName = name;
        device.strDevice = "/dev/" + name;
        if (const auto it = stableNames.find(name); it != stableNames.end()) {
            device.strStableName = it->second;
        }
        ReadUsbAttributes(root, name, device);
        devices.push_back(std::move(device));
    }
    return devices;
}

std::string DescribeSerialDevice(const SerialDevice& device) {
    std::string text = device.strMaker;
    if (!device.strModel.empty()) {
        text += (text.empty() ? "" : " ") + device.strModel;
    }
    return text.empty() ? device.strDevice : text + " on " + device.strDevice;
}
