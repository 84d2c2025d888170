#include "StringTable.h"

#include "Resource.h"

namespace {

struct StringEntry {
    int nId;
    const char* pszText;
};

// There is no string 112.
constexpr StringEntry kStrings[] = {
    {IDS_CAPTION, "Orvanta"},
    {IDS_SUCCESS, "Upgrade successful!"},
    {IDS_FILE_NOT_FOUND, "File not found. Please check the path and filename."},
    {IDS_INVALID_INPUT, "The input file is not valid."},
    {IDS_INF_CORRUPT, "The inf file is corrupt. Please try another file."},
    {IDS_USB_FAILED, "USB Failed"},
    {IDS_SERIAL_FAILED, "Serial failed"},
    {IDS_PROJECTOR_CANCELED, "Projector canceled connection."},
    {IDS_REGISTRY_KEY, "Software\\Helmvik\\Orvanta"},
    {IDS_FLASH_FILENAME, "Flash filename"},
    {IDS_COMPORT, "ComPort"},
    {IDS_BAUDRATE, "Baudrate"},
    {IDS_LINK, "Link"},
};

}  // namespace

QString LoadString(int nId) {
    for (const StringEntry& entry : kStrings) {
        if (entry.nId == nId) return QString::fromLatin1(entry.pszText);
    }
    return {};
}
