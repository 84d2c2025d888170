// The settings store on the user's settings file.
#include <gtest/gtest.h>

#include "Registry.h"
#include "TestSupport.h"
#include "WizardTestSupport.h"

namespace {

const QString kKey = "Software\\Helmvik\\Orvanta";

TEST(RegistryTest, ValuesAreTopLevelTextEntriesOfTheUsersFileUpTo255Bytes) {
    ClearSettings();
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, "ComPort", "COM3"));
    const std::string path = qgetenv("XDG_CONFIG_HOME").toStdString() + "/Helmvik/Orvanta.conf";
    QSettings file(QString::fromStdString(path), QSettings::IniFormat);
    EXPECT_TRUE(file.childGroups().isEmpty());
    EXPECT_EQ(file.value("ComPort").toString(), "COM3");
    orvtest::WriteFile(path, "[General]\nBaudrate=57600,8\n");  // by hand: a list to QSettings

    QString value = "stale";
    ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Baudrate", &value));
    EXPECT_EQ(value, "57600,8");
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Link", &value));
    EXPECT_EQ(value, "");
    EXPECT_FALSE(WriteRegistryString(HKEY_CURRENT_USER, "Software", "Link", "1"));  // no store

    // Texts of 256 bytes or more read as missing.
    const std::pair<QString, bool> cases[] = {
        {QString(255, 'a'), true},
        {QString(256, 'a'), false},
        {QString(127, QChar(0xE9)), true},   // 254 bytes in UTF-8
        {QString(128, QChar(0xE9)), false},  // 256 bytes
    };
    for (const auto& [text, bRead] : cases) {
        SCOPED_TRACE(text.size());
        ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, "Flash filename", text));
        value = "stale";
        EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Flash filename", &value), bRead);
        EXPECT_EQ(value, bRead ? text : "");
    }
}

}  // namespace
