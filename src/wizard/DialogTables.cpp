// The five page dialogs of the wizard.
#include "DialogTemplate.h"
#include "Resource.h"

namespace {

using K = CtlKind;

const DialogTemplate kWelcome{
    IDD_WELCOME,
    "Firmware upgrade wizard",
    327,
    130,
    {
        {IDC_STATIC, K::Picture, 0, 5, 5, 0, 0, "", IDB_WELCOME, {}},
        {IDC_STATIC, K::Static, CTL_CENTER, 105, 5, 185, 25, "Welcome to Orvanta v2.3", 0, {}},
        {IDC_STATIC,
         K::Static,
         CTL_CENTER,
         135,
         40,
         125,
         40,
         "This will upgrade the firmware on your projector. ",
         0,
         {}},
    },
};

const DialogTemplate kFile{
    IDD_FILE,
    "Select file",
    267,
    106,
    {
        {IDC_FILENAME, K::Edit, CTL_BORDER, 120, 40, 135, 12, "", 0, {}, 0, "Firmware package",
         "The path of the package, an .inf script or a .bin image: type it, browse for it or "
         "drop the file onto the window"},
        {IDC_STATIC, K::Static, 0, 120, 30, 125, 10, "Select a upgrading file:", 0, {},
         IDC_FILENAME},
        {IDC_BROWSE, K::PushButton, 0, 210, 55, 45, 15, "Browse...", 0, {}, 0, nullptr,
         "Choose the package in a file dialog"},
        {IDC_STATIC, K::Picture, 0, 5, 10, 0, 0, "", IDB_FILE, {}},
    },
};

// The port box spans the page so that a by-id device name or a network address shows whole;
// the two combos have visible labels, which screen readers announce with them.
const DialogTemplate kLink{
    IDD_LINK,
    "Select link type",
    352,
    118,
    {
        {IDC_RADIO_USB, K::RadioButton, CTL_GROUP, 125, 17, 60, 10, "USB", 0, {}, 0, nullptr,
         "Link type: a USB cable (not available)"},
        {IDC_RADIO_RS232, K::RadioButton, 0, 190, 17, 60, 10, "RS-232", 0, {}, 0, nullptr,
         "Link type: a serial line"},
        {IDC_RADIO_BINFILE, K::RadioButton, 0, 255, 17, 60, 10, "BIN file", 0, {}, 0, nullptr,
         "Link type: write the image to a file (not available)"},
        {IDC_COMPORT,
         K::ComboBox,
         CTL_GROUP | CTL_SORT,
         123,
         64,
         215,
         70,
         "",
         0,
         {"COM1", "COM2", "COM3", "COM4"},
         0,
         "Port",
         "The serial port: a COM port, a device, or a network address such as "
         "rfc2217://host:port"},
        {IDC_BAUDRATE, K::ComboBox, CTL_SORT, 123, 91, 65, 50, "", 0, {"57600", "115200"}, 0,
         "Baud rate", "The line speed in bits per second"},
        {IDC_LINK_GROUP, K::GroupBox, 0, 115, 5, 230, 30, "Select link type", 0, {}},
        {IDC_STATIC, K::Picture, 0, 10, 10, 0, 0, "", IDB_LINK, {}},
        {IDC_STATIC, K::GroupBox, 0, 115, 42, 230, 70, "RS-232 settings", 0, {}},
        {IDC_STATIC, K::Static, 0, 123, 54, 100, 8, "Port:", 0, {}, IDC_COMPORT},
        {IDC_STATIC, K::Static, 0, 123, 81, 100, 8, "Baud rate:", 0, {}, IDC_BAUDRATE},
    },
};

const DialogTemplate kTransfer{
    IDD_TRANSFER,
    "Upgrading",
    352,
    116,
    {
        {IDC_STATIC, K::Picture, 0, 5, 5, 0, 0, "", IDB_TRANSFER, {}},
        {IDC_SEGMENT_PROGRESS, K::Progress, CTL_SMOOTH, 110, 55, 235, 10, "", 0, {}, 0,
         "Current file", "Progress of the file being sent"},
        {IDC_STATUS, K::Static, CTL_ELLIPSIS, 110, 45, 235, 10, "Upgrade status", 0, {}, 0,
         nullptr, "The file being sent"},
        {IDC_STATIC, K::Static, 0, 110, 75, 45, 10, "Time ellapsed:", 0, {}, IDC_ELAPSED},
        {IDC_ELAPSED, K::Static, CTL_ELLIPSIS, 175, 75, 40, 8, "00:00", 0, {}, 0, nullptr,
         "Time since the upgrade started"},
        {IDC_TOTAL_PROGRESS, K::Progress, CTL_SMOOTH, 110, 30, 235, 10, "", 0, {}, 0,
         "Whole image", "Progress of the whole firmware image"},
        {IDC_STATIC, K::Static, 0, 110, 20, 145, 10, "Total progress", 0, {},
         IDC_TOTAL_PROGRESS},
        {IDC_FEEDBACK,
         K::Static,
         CTL_CENTER | CTL_VCENTER | CTL_ELLIPSIS,
         125,
         95,
         205,
         15,
         "Projector feed-back",
         0,
         {}},
    },
};

const DialogTemplate kDone{
    IDD_DONE,
    "Done",
    272,
    101,
    {
        {IDC_RESULT, K::Static, CTL_SELECTABLE, 65, 10, 165, 55, "Result message", 0, {}},
        {IDC_SUCCESS_PICTURE, K::Picture, 0, 5, 10, 0, 0, "", IDB_SUCCESS, {}},
        {IDC_FAILURE_PICTURE, K::Picture, CTL_SUNKEN, 5, 10, 0, 0, "", IDB_FAILURE, {}},
    },
};

}  // namespace

const DialogTemplate* FindDialogTemplate(int nId) {
    for (const DialogTemplate* pDialog : {&kWelcome, &kFile, &kLink, &kTransfer, &kDone}) {
        if (pDialog->nId == nId) return pDialog;
    }
    return nullptr;
}
