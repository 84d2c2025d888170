// The command-line conventions of orvanta-cli and orvanta-projector (help anywhere among the
// options but never as a value, usage errors with 64), --version on all three programs
// without a display, and `ports` with the discovery replaced by a test list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;
const std::string kProjector = ORVANTA_PROJECTOR_PATH;

QJsonObject JsonOf(const std::string& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return document.object();
}

class CliOptionsTest : public testing::Test {
protected:
    void SetUp() override {
        WritePackage(m_dir, "pkg/firmware.inf", {{"main.hex", "", kWorkedFile.loads}});
    }
    ToolResult Run(const std::string& program, const std::vector<std::string>& args,
                   std::map<std::string, std::string> env = {}) {
        env["HOME"] = m_dir / "home";
        return RunTool(program, args, env, m_dir.Path().string(), 30000);
    }
    TempDir m_dir;
};

// Help anywhere but never as a value, and each fault of the tools' own rules with its status
// and text, for both programs (the spellings getopt_long accepts are its own).
// "out" names the file a build row must have written (empty: none may exist afterwards).
TEST_F(CliOptionsTest, HelpAndUsageErrors) {
    const std::string inf = "pkg/firmware.inf";
    const Bytes image = Complemented(kWorkedImage);
    const struct {
        std::string program;
        std::vector<std::string> args;
        int nExit;
        const char* pShown;  // on stdout when nExit is 0, else on stderr
        const char* pOut;
    } rows[] = {
        {kCli, {"build", inf, "-o", "a.bin"}, 0, "", "a.bin"},
        // A value that looks like help is a value: the image goes to a file named --help.
        {kCli, {"build", inf, "-o", "--help"}, 0, "", "--help"},
        {kCli, {"build", "--bogus", inf, "-h"}, 0, "Usage:", ""},
        {kCli, {}, 64, "orvanta-cli: no command given\nTry 'orvanta-cli --help'\n", ""},
        {kCli, {"frobnicate"}, 64, "unknown command frobnicate\nTry 'orvanta-cli --help'\n", ""},
        {kCli, {"build", inf}, 64, "build needs -o OUT\n", ""},
        {kCli, {"build", inf, inf, "-o", "a.bin"}, 64, "build takes one PACKAGE\n", ""},
        {kCli, {"build", inf, "-o", "no/such/folder/out.bin"}, 73, "cannot write", ""},
        {kCli, {"ports", "extra"}, 64, "ports takes no PACKAGE", ""},
        {kCli, {"send", inf, "-p", "COM1", "-b", "57601"}, 64, "115200 or 57600", ""},
        {kCli, {"send", inf, "-p", "COM1", "--wait-timeout", "-1"}, 64, "(0 for no limit)\n", ""},
        {kCli, {"build", inf, "-o", "a.bin", "--upload-dir", "none"}, 64, "none: No such", ""},
        {kCli, {"info", inf, "--upload-dir", inf}, 64, "firmware.inf: not a folder\n", ""},
        {kCli, {"send", inf, "-p", "COM1", "--silence-timeout", "1.5"}, 64, "seconds from 1\n", ""},
        {kProjector, {"--help"}, 0, "usage: orvanta-projector", ""},
        {kProjector, {"--baud", "9600"}, 64, "--baud takes 115200 or 57600", ""},
        {kProjector, {"--damage-at", "3"}, 64, "\"3\" is no FILE:BLOCK (both from 1)", ""},
        {kProjector, {"--stray-at", "4:ack,5:cr"}, 64, "\"5:cr\" is no P, P:ack, P:nak", ""},
        {kProjector, {"--stray-rate", "2"}, 64, "--stray-rate wants a chance from 0 to 1", ""},
        {kProjector, {"stray"}, 64, "unknown argument \"stray\"", ""},
        {kProjector, {"--reply-latency", "256"}, 64, "a whole number from 0 to 255", ""},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        std::filesystem::remove(m_dir / "a.bin");
        std::filesystem::remove(m_dir / "--help");
        const ToolResult result = Run(row.program, row.args);
        EXPECT_EQ(result.nExit, row.nExit) << result.err;
        const std::string& shown = row.nExit == 0 ? result.out : result.err;
        EXPECT_NE(shown.find(row.pShown), std::string::npos) << shown;
        EXPECT_EQ(row.nExit == 0 ? result.err : result.out, "");
        // One line of reason and one pointing to --help, never the whole usage.
        EXPECT_TRUE(row.nExit != 64 || row.program != kCli ||
                    (result.err.starts_with("orvanta-cli: ") &&
                     result.err.ends_with("\nTry 'orvanta-cli --help'\n") &&
                     std::count(result.err.begin(), result.err.end(), '\n') == 2))
            << result.err;
        if (*row.pOut != '\0') {
            EXPECT_EQ(ReadBytes(m_dir / row.pOut), image);
        }
        EXPECT_EQ(std::filesystem::exists(m_dir / "a.bin"), std::string(row.pOut) == "a.bin");
        EXPECT_EQ(std::filesystem::exists(m_dir / "--help"), std::string(row.pOut) == "--help");
    }
}

// Every program answers --version with its name and the project version, without a display
// (the wizard must not start Qt for it).
TEST_F(CliOptionsTest, VersionWithoutADisplay) {
    std::vector<std::pair<std::string, std::string>> programs = {{kCli, "orvanta-cli"},
                                                                 {kProjector, "orvanta-projector"}};
#ifdef ORVANTA_WIZARD_PATH
    programs.emplace_back(ORVANTA_WIZARD_PATH, "orvanta");
#endif
    for (const auto& [path, name] : programs) {
        SCOPED_TRACE(name);
        const ToolResult result = Run("/usr/bin/env", {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY",
                                                       "QT_QPA_PLATFORM=xcb", path, "--version"});
        EXPECT_EQ(result.nExit, 0) << result.err;
        EXPECT_TRUE(result.out.starts_with(name + " " ORVANTA_PROJECT_VERSION)) << result.out;
        EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    }
}

// No port at all, and a pseudo-terminal with a stable name of a USB adapter: text and JSON.
TEST_F(CliOptionsTest, PortsListsWhatIsPresent) {
    const ToolResult none = Run(kCli, {"ports", "--json"}, {{"ORVANTA_TEST_PORTS", ""}});
    EXPECT_EQ(none.nExit, 0) << none.err;
    const QJsonObject empty = JsonOf(none.out);
    EXPECT_EQ(empty["ports"], QJsonValue(QJsonArray()));
    EXPECT_EQ(Run(kCli, {"ports"}, {{"ORVANTA_TEST_PORTS", ""}}).out, "No serial port found.\n");

    CPty pty;
    ASSERT_FALSE(pty.m_strDevice.empty());
    std::filesystem::create_directories(m_dir / "by-id");
    const std::string stable = m_dir / "by-id/usb-Acme_Serial_A1B2-if00-port0";
    std::filesystem::create_symlink(pty.m_strDevice, stable);
    const std::map<std::string, std::string> env = {
        {"ORVANTA_TEST_PORTS", pty.m_strDevice + ":" + (m_dir / "missing")},
        {"ORVANTA_TEST_BY_ID_DIR", m_dir / "by-id"}};
    const ToolResult listed = Run(kCli, {"ports", "--json"}, env);
    EXPECT_EQ(listed.nExit, 0) << listed.err;
    const QJsonObject root = JsonOf(listed.out);
    EXPECT_EQ(root["schemaVersion"].toInt(), 2);
    const QJsonArray ports = root["ports"].toArray();
    ASSERT_EQ(ports.size(), 2);
    QJsonObject adapter = ports[0].toObject(), missing = ports[1].toObject();
    if (adapter["device"].toString().toStdString() != pty.m_strDevice) {
        std::swap(adapter, missing);
    }
    EXPECT_EQ(adapter["device"].toString().toStdString(), pty.m_strDevice);
    EXPECT_EQ(adapter["stableName"].toString().toStdString(), stable);
    EXPECT_TRUE(adapter["usb"].toBool());
    EXPECT_TRUE(adapter["accessible"].toBool());
    EXPECT_TRUE(adapter["accessProblem"].isNull());
    EXPECT_TRUE(adapter["vendorId"].isNull());
    EXPECT_TRUE(adapter["latencyTimerMs"].isNull());  // a pseudo-terminal has no timer
    EXPECT_EQ(missing["device"].toString().toStdString(), m_dir / "missing");
    EXPECT_FALSE(missing["usb"].toBool());
    EXPECT_FALSE(missing["accessible"].toBool());
    EXPECT_EQ(missing["accessProblem"].toString(), "No such file or directory");
    for (const char* pKey :
         {"description", "manufacturer", "serialNumber", "productId", "usbId", "group"}) {
        EXPECT_TRUE(adapter.contains(pKey)) << pKey;
    }

    const ToolResult text = Run(kCli, {"ports"}, env);
    EXPECT_NE(text.out.find(pty.m_strDevice + " (" + stable + "): USB, read/write ok\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find(m_dir / "missing" + ": no access: No such file or directory\n"),
              std::string::npos)
        << text.out;
}

}  // namespace
