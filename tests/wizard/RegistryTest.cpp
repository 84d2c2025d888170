// The settings store on the user's settings file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>

#include "Registry.h"
#include "WizardTestSupport.h"

namespace {

const QString kKey = "Software\\Helmvik\\Orvanta";

QString StoreFile() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Helmvik/Orvanta.conf";
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSettings(); }
};

TEST_F(RegistryTest, ValuesAreTopLevelTextEntriesOfTheUsersFile) {
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, "Flash filename", "/fw/pkg.inf"));
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, "ComPort", "COM3"));
    ASSERT_TRUE(QFile::exists(StoreFile()));
    QSettings file(StoreFile(), QSettings::IniFormat);
    EXPECT_TRUE(file.childGroups().isEmpty());
    EXPECT_EQ(file.value("Flash filename").toString(), "/fw/pkg.inf");
    EXPECT_EQ(file.value("ComPort").toString(), "COM3");

    QString value = "stale";
    ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "ComPort", &value));
    EXPECT_EQ(value, "COM3");
}

TEST_F(RegistryTest, MissingValuesReadAsEmptyAndFalse) {
    QString value = "stale";
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Baudrate", &value));
    EXPECT_TRUE(value.isEmpty());
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Baudrate", nullptr));
    value = "stale";
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, "Orvanta", "Baudrate", &value));
    EXPECT_TRUE(value.isEmpty());
    EXPECT_FALSE(WriteRegistryString(HKEY_CURRENT_USER, "Software", "Baudrate", "1"));
}

TEST_F(RegistryTest, TextsOf256BytesOrMoreReadAsMissing) {
    struct Case {
        QString text;
        bool bRead;
    };
    const Case cases[] = {
        {QString(255, 'a'), true},
        {QString(256, 'a'), false},
        {QString(127, QChar(0xE9)), true},   // 254 bytes in UTF-8
        {QString(128, QChar(0xE9)), false},  // 256 bytes
        {"", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, "Flash filename", c.text));
        QString value = "stale";
        EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Flash filename", &value),
                  c.bRead ? TRUE : FALSE);
        EXPECT_EQ(value, c.bRead ? c.text : QString());
    }
}

TEST_F(RegistryTest, HandWrittenValuesAreTakenAsText) {
    QDir().mkpath(QFileInfo(StoreFile()).path());
    WriteFile(StoreFile(), "[General]\nBaudrate=57600,8\nLink=2\nComPort=\"COM2\"\n");
    QString value;
    ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Baudrate", &value));
    EXPECT_EQ(value, "57600,8");
    ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "Link", &value));
    EXPECT_EQ(value, "2");
    ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey, "ComPort", &value));
    EXPECT_EQ(value, "COM2");
}

TEST_F(RegistryTest, AStoreThatCannotBeCreatedFailsTheWrite) {
    const QString blocker = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Blocked";
    QDir().mkpath(QFileInfo(blocker).path());
    WriteFile(blocker, "a file where the folder would go");
    EXPECT_FALSE(WriteRegistryString(HKEY_CURRENT_USER, "Software\\Blocked\\App", "Link", "1"));
    QString value;
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, "Software\\Blocked\\App", "Link", &value));
    QFile::remove(blocker);
}

}  // namespace
