// `ports [--json]`: the serial ports present, one a line, for a technician choosing --port;
// the JSON form (fields in docs/orvanta-cli.md) for scripts.
#include <cstdio>

#include "Commands.h"
#include "JsonOutput.h"
#include "JsonSchema.h"
#include "LatencyTimer.h"
#include "PortList.h"

namespace {

std::string UsbId(const SerialPortEntry& port) {
    if (port.nVendorId < 0 || port.nProductId < 0) {
        return "";
    }
    // USB ids are 16-bit; the mask keeps the text at its nine characters.
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(port.nVendorId) & 0xFFFFu,
                  static_cast<unsigned>(port.nProductId) & 0xFFFFu);
    return text;
}

void PrintText(const std::vector<SerialPortEntry>& ports) {
    if (ports.empty()) {
        std::printf("No serial port found.\n");
        return;
    }
    for (const SerialPortEntry& port : ports) {
        std::string line = port.strDevice;
        if (!port.strStableName.empty()) {
            line += " (" + port.strStableName + ")";
        }
        std::string details;
        for (const std::string& part :
             {port.strDescription, port.strManufacturer,
              port.strSerialNumber.empty() ? "" : "serial " + port.strSerialNumber,
              UsbId(port).empty() ? std::string(port.bUsb ? "USB" : "") : "USB " + UsbId(port)}) {
            if (!part.empty()) {
                details += (details.empty() ? "" : ", ") + part;
            }
        }
        if (port.nLatencyTimerMs >= 0) {
            details += (details.empty() ? "" : ", ") + std::string("latency timer ") +
                       std::to_string(port.nLatencyTimerMs) + " ms";
        }
        line += ": " + (details.empty() ? std::string() : details + ", ");
        line += port.bAccessible ? "read/write ok" : "no access: " + port.strAccessReason;
        std::printf("%s\n", line.c_str());
    }
}

// On stderr, so that the listing itself stays one line per port for scripts.
void WarnAboutLatency(const std::vector<SerialPortEntry>& ports) {
    for (const SerialPortEntry& port : ports) {
        if (port.nLatencyTimerMs > kLatencyTimerWarnMs) {
            std::fprintf(stderr,
                         "orvanta-cli: warning: %s holds each answer up to %d ms (its latency "
                         "timer), which slows an upgrade; orvanta sets 1 ms while the port is "
                         "open where this user may write %s, and the package's udev rule sets "
                         "it when the adapter is plugged in\n",
                         port.strDevice.c_str(), port.nLatencyTimerMs,
                         CLatencyTimer("/sys").AttributePath(port.strDevice).c_str());
        }
    }
}

void PrintPortsJson(const std::vector<SerialPortEntry>& ports) {
    nlohmann::json list = nlohmann::json::array();
    for (const SerialPortEntry& port : ports) {
        list.push_back({
            {"device", port.strDevice},
            {"stableName", TextOrNull(port.strStableName)},
            {"description", TextOrNull(port.strDescription)},
            {"manufacturer", TextOrNull(port.strManufacturer)},
            {"serialNumber", TextOrNull(port.strSerialNumber)},
            {"vendorId", NumberOrNull(port.nVendorId)},
            {"productId", NumberOrNull(port.nProductId)},
            {"usbId", TextOrNull(UsbId(port))},
            {"usb", port.bUsb},
            {"accessible", port.bAccessible},
            {"accessProblem", TextOrNull(port.strAccessReason)},
            {"group", TextOrNull(port.strGroup)},
            {"latencyTimerMs", NumberOrNull(port.nLatencyTimerMs)},
        });
    }
    PrintJson({{"schemaVersion", JSON_SCHEMA_VERSION}, {"ports", list}});
}

}  // namespace

int RunPorts(const std::vector<std::string>& args) {
    CommandArgs parsed;
    std::string strError;
    if (!ParseCommandArgs(args, CommandOptions("ports"), parsed, strError)) {
        return UsageError(strError);
    }
    if (!parsed.positional.empty()) {
        return UsageError("ports takes no PACKAGE or other word");
    }
    const std::vector<SerialPortEntry> ports = ListSerialPorts();
    if (parsed.Has("--json")) {
        PrintPortsJson(ports);
    } else {
        PrintText(ports);
    }
    WarnAboutLatency(ports);
    return 0;
}
