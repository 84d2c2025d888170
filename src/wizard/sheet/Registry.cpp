#include "Registry.h"

#include <QSettings>
#include <QStringList>
#include <memory>

namespace {

// The settings file for a key path, or null when the path names no organisation and
// application.
std::unique_ptr<QSettings> OpenStore(HKEY hRoot, const QString& strKey) {
    if (hRoot != HKEY_CURRENT_USER) {
        return nullptr;
    }
    QStringList parts = strKey.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (!parts.isEmpty() &&
        parts.front().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0) {
        parts.pop_front();
    }
    if (parts.size() < 2) {
        return nullptr;
    }
    const QString organisation = parts.takeFirst();
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, organisation,
                                       parts.join(QLatin1Char('/')));
}

}  // namespace

win::BOOL ReadRegistryString(HKEY hRoot, const QString& strKey, const QString& strName,
                             QString* pString) {
    if (pString == nullptr) {
        return win::FALSE;
    }
    pString->clear();
    std::unique_ptr<QSettings> pStore = OpenStore(hRoot, strKey);
    if (!pStore || pStore->status() != QSettings::NoError || !pStore->contains(strName)) {
        return win::FALSE;
    }
    // Whatever the value holds is taken as text; an unquoted list reads back as written.
    const QVariant value = pStore->value(strName);
    QString text = value.typeId() == QMetaType::QStringList
                       ? value.toStringList().join(QLatin1Char(','))
                       : value.toString();
    const qsizetype nNul = text.indexOf(QChar(0));
    if (nNul >= 0) {
        text.truncate(nNul);
    }
    if (text.toUtf8().size() >= REGISTRY_BUFFER_SIZE) {
        return win::FALSE;
    }
    *pString = text;
    return win::TRUE;
}

win::BOOL WriteRegistryString(HKEY hRoot, const QString& strKey, const QString& strName,
                              const QString& strValue) {
    std::unique_ptr<QSettings> pStore = OpenStore(hRoot, strKey);
    if (!pStore) {
        return win::FALSE;
    }
    pStore->setValue(strName, strValue);
    pStore->sync();
    return pStore->status() == QSettings::NoError ? win::TRUE : win::FALSE;
}
