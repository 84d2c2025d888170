#include "StringTable.h"

#include "Resource.h"
#include "ResultTexts.h"

namespace {

struct StringEntry {
    int nId;
    const char* pszText;
};

// There is no string 112. The result messages (IDS_SUCCESS to IDS_PROJECTOR_CANCELED, one per
// result code in order) come from the result texts that the command-line tool prints too.
constexpr StringEntry kStrings[] = {
    {IDS_CAPTION, "Orvanta"},
    {IDS_REGISTRY_KEY, "Software\\Helmvik\\Orvanta"},
    {IDS_FLASH_FILENAME, "Flash filename"},
    {IDS_COMPORT, "ComPort"},
    {IDS_BAUDRATE, "Baudrate"},
    {IDS_LINK, "Link"},
};

}  // namespace

QString LoadString(int nId) {
    if (nId >= IDS_SUCCESS && nId <= IDS_PROJECTOR_CANCELED) {
        return QString::fromLatin1(ResultText(nId - IDS_SUCCESS));
    }
    for (const StringEntry& entry : kStrings) {
        if (entry.nId == nId) {
            return QString::fromLatin1(entry.pszText);
        }
    }
    return {};
}
