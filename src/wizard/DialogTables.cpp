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
        {IDC_FILENAME, K::Edit, CTL_BORDER, 120, 40, 135, 12, "", 0, {}},
        {IDC_STATIC, K::Static, 0, 120, 30, 125, 10, "Select a upgrading file:", 0, {}},
        {IDC_BROWSE, K::PushButton, 0, 210, 55, 45, 15, "Browse...", 0, {}},
        {IDC_STATIC, K::Picture, 0, 5, 10, 0, 0, "", IDB_FILE, {}},
    },
};

const DialogTemplate kLink{
    IDD_LINK,
    "Select link type",
    312,
    106,
    {
        {IDC_RADIO_USB, K::RadioButton, CTL_GROUP, 125, 30, 60, 10, "USB", 0, {}},
        {IDC_RADIO_RS232, K::RadioButton, 0, 125, 45, 60, 10, "RS-232", 0, {}},
        {IDC_RADIO_BINFILE, K::RadioButton, 0, 125, 60, 60, 10, "BIN file", 0, {}},
        {IDC_COMPORT,
         K::ComboBox,
         CTL_GROUP | CTL_SORT,
         225,
         30,
         65,
         70,
         "",
         0,
         {"COM1", "COM2", "COM3", "COM4"}},
        {IDC_BAUDRATE, K::ComboBox, CTL_SORT, 225, 55, 65, 50, "", 0, {"57600", "115200"}},
        {IDC_LINK_GROUP, K::GroupBox, 0, 115, 15, 90, 65, "Select link type", 0, {}},
        {IDC_STATIC, K::Picture, 0, 10, 10, 0, 0, "", IDB_LINK, {}},
        {IDC_STATIC, K::GroupBox, 0, 210, 15, 95, 65, "RS-232 settings", 0, {}},
    },
};

const DialogTemplate kTransfer{
    IDD_TRANSFER,
    "Upgrading",
    352,
    116,
    {
        {IDC_STATIC, K::Picture, 0, 5, 5, 0, 0, "", IDB_TRANSFER, {}},
        {IDC_SEGMENT_PROGRESS, K::Progress, CTL_SMOOTH, 110, 55, 235, 10, "", 0, {}},
        {IDC_STATUS, K::Static, 0, 110, 45, 210, 10, "Upgrade status", 0, {}},
        {IDC_STATIC, K::Static, 0, 110, 75, 45, 10, "Time ellapsed:", 0, {}},
        {IDC_ELAPSED, K::Static, 0, 175, 75, 30, 8, "00:00", 0, {}},
        {IDC_TOTAL_PROGRESS, K::Progress, CTL_SMOOTH, 110, 30, 235, 10, "", 0, {}},
        {IDC_STATIC, K::Static, 0, 110, 20, 145, 10, "Total progress", 0, {}},
        {IDC_FEEDBACK,
         K::Static,
         CTL_CENTER | CTL_VCENTER,
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
        {IDC_RESULT, K::Static, 0, 65, 10, 165, 55, "Result message", 0, {}},
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
