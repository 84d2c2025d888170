#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "LatencyTimer.h"
#include "TestSupport.h"

namespace {

using orvtest::ReadText;
using orvtest::TempDir;
using Outcome = CLatencyTimer::Outcome;

// A made-up sysfs tree in a temporary folder: dev/NAME stands for the device node and
// sys/class/tty/NAME/device/latency_timer for the attribute, holding what the row says.
class LatencyTimerTest : public ::testing::Test {
protected:
    std::string Device(const std::string& name, const std::optional<std::string>& attribute) {
        const std::string device = m_dir.Write("dev/" + name, "");
        std::filesystem::create_directories(m_dir / ("sys/class/tty/" + name + "/device"));
        if (attribute) {
            m_dir.Write(Attribute(name), *attribute);
        }
        return device;
    }
    std::string Attribute(const std::string& name) const {
        return "sys/class/tty/" + name + "/device/latency_timer";
    }
    TempDir m_dir;
};

TEST_F(LatencyTimerTest, LowersAndRestoresWhereTheAdapterHasATimer) {
    struct Row {
        const char* pCase;
        std::optional<std::string> attribute;
        Outcome outcome;
        int nBefore;
        int nAfter;
        std::string whileOpen;  // the attribute's text between Lower and Restore
    };
    const Row rows[] = {
        {"the default of the common chips", "16\n", Outcome::SET, 16, 1, "1\n"},
        {"the highest value", "255", Outcome::SET, 255, 1, "1\n"},
        {"already low", "1\n", Outcome::UNCHANGED, 1, 1, "1\n"},
        {"zero", "0\n", Outcome::UNCHANGED, 0, 0, "0\n"},
        {"no attribute: no timer", std::nullopt, Outcome::NONE, -1, -1, ""},
        {"empty", "", Outcome::NONE, -1, -1, ""},
        {"not a number", "fast\n", Outcome::NONE, -1, -1, "fast\n"},
        {"trailing junk", "16ms\n", Outcome::NONE, -1, -1, "16ms\n"},
        {"negative", "-5\n", Outcome::NONE, -1, -1, "-5\n"},
        {"beyond one byte", "256\n", Outcome::NONE, -1, -1, "256\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pCase);
        const std::string device = Device("ttyUSB0", row.attribute);
        CLatencyTimer timer(m_dir / "sys");
        EXPECT_EQ(timer.Read(device), row.nBefore < 0 ? std::nullopt : std::optional(row.nBefore));
        const CLatencyTimer::Result result = timer.Lower(device, 1);
        EXPECT_EQ(result.outcome, row.outcome);
        EXPECT_EQ(result.nBefore, row.nBefore);
        EXPECT_EQ(result.nAfter, row.nAfter);
        EXPECT_EQ(ReadText(m_dir / Attribute("ttyUSB0")), row.whileOpen);
        std::string strReason;
        EXPECT_TRUE(timer.Restore(strReason));
        EXPECT_EQ(ReadText(m_dir / Attribute("ttyUSB0")),
                  row.attribute && row.outcome == Outcome::SET ? std::to_string(row.nBefore) + "\n"
                                                               : row.attribute.value_or(""));
        // A second Restore has nothing left to write.
        orvtest::WriteFile(m_dir / Attribute("ttyUSB0"), "7\n");
        EXPECT_TRUE(timer.Restore(strReason));
        EXPECT_EQ(ReadText(m_dir / Attribute("ttyUSB0")), "7\n");
        std::filesystem::remove_all(m_dir.Path());
        std::filesystem::create_directories(m_dir.Path());
    }
}

// The stable names udev makes are symbolic links; the timer belongs to the device they name.
TEST_F(LatencyTimerTest, FollowsSymbolicLinksToTheDevice) {
    const std::string device = Device("ttyUSB3", "16\n");
    Device("usb-Maker_Cable_A1-if00-port0", "2\n");  // a decoy under the link's own name
    std::filesystem::create_directories(m_dir / "by-id");
    const std::string link = m_dir / "by-id/usb-Maker_Cable_A1-if00-port0";
    std::filesystem::create_symlink(device, link);
    CLatencyTimer timer(m_dir / "sys");
    EXPECT_EQ(timer.AttributePath(link), m_dir.Path() / Attribute("ttyUSB3"));
    EXPECT_EQ(timer.Read(link), 16);
    EXPECT_EQ(timer.Lower(link, 1).outcome, Outcome::SET);
    EXPECT_EQ(ReadText(m_dir / Attribute("ttyUSB3")), "1\n");
    // A device missing from the tree (a pseudo-terminal, an on-board port) has no timer.
    EXPECT_EQ(timer.Read("/dev/pts/0"), std::nullopt);
    EXPECT_EQ(timer.Read(""), std::nullopt);
    std::string strReason;
    EXPECT_TRUE(timer.Restore(strReason));
    EXPECT_EQ(ReadText(m_dir / Attribute("ttyUSB3")), "16\n");
}

// A timer this user may not write (no udev rule, no group access) stays as it is, and the
// result says why; nothing is put back later. Run as an ordinary user (nobody, in a child
// process, when the test runs as root, whom file permissions do not bind).
TEST_F(LatencyTimerTest, ATimerThatCannotBeWrittenStaysAndSaysWhy) {
    const std::string device = Device("ttyUSB1", "16\n");
    ASSERT_EQ(chmod((m_dir / Attribute("ttyUSB1")).c_str(), 0444), 0);
    ASSERT_EQ(chmod(m_dir.Path().c_str(), 0755), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        CLatencyTimer timer(m_dir / "sys");
        const CLatencyTimer::Result result = timer.Lower(device, 1);
        std::string strRestore;
        const std::string text = std::to_string(static_cast<int>(result.outcome)) + " " +
                                 std::to_string(result.nAfter) + " " +
                                 std::to_string(timer.Restore(strRestore)) + " " + result.strReason;
        const bool bWritten = write(fds[1], text.data(), text.size()) == ssize_t(text.size());
        _exit(bWritten ? 0 : 3);
    }
    close(fds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int nStatus = -1;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    EXPECT_EQ(text, std::to_string(static_cast<int>(Outcome::REFUSED)) + " 16 1 Permission denied");
    EXPECT_EQ(ReadText(m_dir / Attribute("ttyUSB1")), "16\n");
}

}  // namespace
