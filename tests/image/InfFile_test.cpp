#include "InfFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ImageTestSupport.h"

namespace {

using imagetest::CurrentDirGuard;
using imagetest::EnvGuard;
using imagetest::ScratchFolder;

// Every test gets its own folder as HOME (without an upload folder unless it makes one), so a
// real upload folder of the machine never moves the current directory.
class InfFileTest : public ::testing::Test {
  protected:
    InfFileTest() : m_home("HOME", m_folder.Path().string()) {}

    // Loads text as a script; the test fails when Load does not give 1.
    CInfFile LoadText(std::string_view text, const std::string& name = "package.inf") {
        CInfFile inf(m_folder.Write(name, text));
        EXPECT_EQ(inf.Load(), 1);
        return inf;
    }

    ScratchFolder m_folder;
    CurrentDirGuard m_cwd;
    EnvGuard m_home;
};

std::vector<std::pair<int32_t, std::string>> Table(const CInfFile& inf) {
    std::vector<std::pair<int32_t, std::string>> table;
    for (const CInfLine& line : inf.GetLines()) {
        table.emplace_back(line.nLine, line.strText);
    }
    return table;
}

TEST_F(InfFileTest, NineLineWorkedExample) {
    const CInfFile inf = LoadText(
        "; package\r\n[Version]\r\nFlashWrite = Enable\r\n\r\n[DownloadFiles]\r\n"
        "File=boot.hex, x\r\nExecuteFile=main.hex\r\n[FileDescription]\r\n"
        "main.hex=Main , rev B\r\n");
    const std::vector<std::pair<int32_t, std::string>> expected = {{2, "[Version]"},
                                                                   {3, "FlashWrite = Enable"},
                                                                   {5, "[DownloadFiles]"},
                                                                   {6, "File=boot.hex, x"},
                                                                   {7, "ExecuteFile=main.hex"},
                                                                   {8, "[FileDescription]"},
                                                                   {9, "main.hex=Main , rev B"}};
    EXPECT_EQ(Table(inf), expected);

    std::string value = "untouched";
    EXPECT_EQ(inf.GetValue("version", "flashwrite", value), 1);
    EXPECT_EQ(value, "Enable");
    value = "untouched";
    EXPECT_EQ(inf.GetValue("Version", "Reset", value), 0);
    EXPECT_EQ(value, "untouched");

    InfPos pos;
    ASSERT_EQ(inf.Locate(pos, "DownloadFiles", nullptr), 1);
    EXPECT_EQ(pos.section, 2);
    EXPECT_EQ(pos.offset, 1);
    std::string field;
    EXPECT_EQ(inf.GetField(pos, 0, field), 1);
    EXPECT_EQ(field, "File");
    EXPECT_EQ(inf.GetField(pos, 1, field), 1);
    EXPECT_EQ(field, "boot.hex");
    EXPECT_EQ(inf.GetField(pos, 2, field), 1);
    EXPECT_EQ(field, "x");
    EXPECT_EQ(inf.GetField(pos, 3, field), 0);
    EXPECT_EQ(field, "");

    ASSERT_EQ(inf.NextLine(pos), 1);
    EXPECT_EQ(pos.section, 2);
    EXPECT_EQ(pos.offset, 2);
    EXPECT_EQ(inf.GetField(pos, 1, field), 1);
    EXPECT_EQ(field, "main.hex");
    EXPECT_EQ(inf.NextLine(pos), 0);
    EXPECT_EQ(pos.section, 2);
    EXPECT_EQ(pos.offset, 2);

    EXPECT_EQ(inf.GetValue("FileDescription", "MAIN.HEX", value), 1);
    EXPECT_EQ(value, "Main,rev B");
}

TEST_F(InfFileTest, LineSplittingAndTrimming) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::pair<int32_t, std::string>> expected;
    };
    const Case cases[] = {
        {"CR, LF and CR LF mixed",
         "a=1\r\nb=2\nc=3\rd=4\r\n",
         {{1, "a=1"}, {2, "b=2"}, {3, "c=3"}, {4, "d=4"}}},
        {"LF then CR ends two lines", "a=1\n\rb=2\n", {{1, "a=1"}, {3, "b=2"}}},
        {"CR CR LF is two line ends", "\r\r\nx=1\n", {{3, "x=1"}}},
        {"last line without a line end is no line", "a=1\nb=2", {{1, "a=1"}}},
        {"only a line without end", "[Version]", {}},
        {"empty file", "", {}},
        {"blank, white space and comment lines", "  \t\r\n; note\r\n   ;x=1\r\n\v\f\r\n", {}},
        {"semicolon inside a line is text", " k = v ; note \r\n", {{1, "k = v ; note"}}},
        {"NUL cuts the rest of its line",
         std::string("a=1\0rest\nb\n", 11),
         {{1, "a=1"}, {2, "b"}}},
        {"NUL first leaves nothing", std::string("\0abc\n", 5), {}},
        {"bytes from 0x80 are no white space", "\xA0x=1\xA0\n", {{1, "\xA0x=1\xA0"}}},
        {"VT and FF are trimmed", "\v\fa\v\f\n", {{1, "a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Table(LoadText(c.text)), c.expected);
    }
}

TEST_F(InfFileTest, ValueJoiningAndQuotes) {
    struct Case {
        const char* line;
        const char* key;
        int nFound;
        const char* value;
    };
    const Case cases[] = {
        {"key=value ; note", "KEY", 1, "value ; note"},
        {"Key=", "Key", 1, ""},
        {"Key=a=b", "Key", 1, "a=b"},
        {"\"Key\"=v", "Key", 1, "v"},
        {" \" Key \" = v", " Key ", 1, "v"},
        {"Key=\"a,b\"", "Key", 1, "a,b"},
        {"Key=,a,,b,", "Key", 1, "a,,b,"},
        {"Key = a , b", "Key", 1, "a,b"},
        {"Key = \"a\" , b", "Key", 1, "a,b"},
        {"Key=\"abc", "Key", 1, "abc"},
        {"Key=abc\"", "Key", 1, "abc"},
        {"Key=\"", "Key", 1, ""},
        {"Key=\"\"", "Key", 1, ""},
        {"Key=\" a \"", "Key", 1, " a "},
        {"Key=a\"b\"c", "Key", 1, "a\"b\"c"},
        {"Key=,a", "Key", 1, "a"},
        {"Key=a,", "Key", 1, "a,"},
        {"Key", "Key", 0, "untouched"},
        {"Key =1", "Key", 1, "1"},
        {"Keys=1", "Key", 0, "untouched"},
        {"\xC4=1", "\xE4", 0, "untouched"},
        {"=1", "", 1, "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const CInfFile inf = LoadText(std::string("[S]\r\n") + c.line + "\r\n");
        std::string value = "untouched";
        EXPECT_EQ(inf.GetValue("S", c.key, value), c.nFound);
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(InfFileTest, FieldsAreCutAtEveryComma) {
    const CInfFile inf = LoadText("[S]\r\nFile = \"a,b\" , , last,\r\n");
    InfPos pos;
    ASSERT_EQ(inf.Locate(pos, "S", "file"), 1);
    const char* expected[] = {"File", "a", "b", "", "last", ""};
    std::string field;
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(inf.GetField(pos, n, field), 1);
        EXPECT_EQ(field, expected[n]);
    }
    field = "junk";
    EXPECT_EQ(inf.GetField(pos, 6, field), 0);
    EXPECT_EQ(field, "");
    field = "junk";
    EXPECT_EQ(inf.GetField(pos, -1, field), 0);
    EXPECT_EQ(field, "");
}

TEST_F(InfFileTest, SectionRules) {
    struct Case {
        const char* name;
        const char* text;
        const char* section;
        const char* key;
        int nFound;
        const char* value;
    };
    const Case cases[] = {
        {"spaces inside brackets", "[ Version ]\nK=1\n", "Version", "K", 0, "untouched"},
        {"text after the bracket", "[Version] anything\nK=1\n", "Version", "K", 1, "1"},
        {"case of the name", "[version]\nK=1\n", "VERSION", "k", 1, "1"},
        {"first ] ends the name", "[A]]\nK=1\n", "A", "K", 1, "1"},
        {"empty name", "[]\nK=1\n", "", "K", 1, "1"},
        {"lone [ ends the section", "[A]\nK=1\n[\nL=2\n", "A", "L", 0, "untouched"},
        {"[ without ] ends the section", "[A]\nK=1\n[A\nL=2\n", "A", "L", 0, "untouched"},
        {"[ without ] is no header", "[A\nL=2\n", "A", "L", 0, "untouched"},
        {"line without = ends the section", "[A]\nK=1\nnote\nL=2\n", "A", "L", 0, "untouched"},
        {"first line without =", "[A]\nnote\nK=1\n", "A", "K", 0, "untouched"},
        {"blank and comment lines do not end it", "[A]\nK=1\n\n  \n; c\nL=2\n", "A", "L", 1, "2"},
        {"only the first section of a name", "[A]\nK=1\n[a]\nL=2\n", "A", "L", 0, "untouched"},
        {"first of two equal keys", "[A]\nK=1\nk=2\n", "A", "K", 1, "1"},
        {"key of another section", "[A]\nK=1\n[B]\nL=2\n", "A", "L", 0, "untouched"},
        {"missing section", "[A]\nK=1\n", "B", "K", 0, "untouched"},
        {"key in an unended last line", "[A]\nK=1", "A", "K", 0, "untouched"},
        {"key above any section", "K=1\n[A]\n", "A", "K", 0, "untouched"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CInfFile inf = LoadText(c.text);
        std::string value = "untouched";
        EXPECT_EQ(inf.GetValue(c.section, c.key, value), c.nFound);
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(InfFileTest, LocateWithoutKeyDoesNotLookAtTheLine) {
    const CInfFile inf = LoadText("[Other]\nX=0\n[A]\nnote\nK=1\n[B]\n");
    InfPos pos{7, 7};
    ASSERT_EQ(inf.Locate(pos, "a", nullptr), 1);
    EXPECT_EQ(pos.section, 2);
    EXPECT_EQ(pos.offset, 1);
    std::string field = "junk";
    EXPECT_EQ(inf.GetField(pos, 0, field), 0);
    EXPECT_EQ(field, "");
    // NextLine looks only at the line below.
    ASSERT_EQ(inf.NextLine(pos), 1);
    EXPECT_EQ(pos.offset, 2);
    EXPECT_EQ(inf.GetField(pos, 1, field), 1);
    EXPECT_EQ(field, "1");

    // A header as the last line: the position lies past the table.
    ASSERT_EQ(inf.Locate(pos, "B", nullptr), 1);
    field = "untouched";
    EXPECT_EQ(inf.GetField(pos, 0, field), 0);
    EXPECT_EQ(field, "untouched");
    EXPECT_EQ(inf.NextLine(pos), 0);

    EXPECT_EQ(inf.Locate(pos, "Missing", nullptr), 0);
    EXPECT_EQ(inf.Locate(pos, "A", "Missing"), 0);
    EXPECT_EQ(inf.Locate(pos, "A", "K"), 0);  // hidden behind the line without '='
}

TEST_F(InfFileTest, PositionsOutsideTheTableFailSafely) {
    const CInfFile inf = LoadText("[A]\nK=1\n");
    const InfPos positions[] = {{-1, 0},      {0, -5}, {INT_MAX, INT_MAX}, {INT_MIN, INT_MIN},
                                {0, INT_MAX}, {2, 0}};
    for (const InfPos& start : positions) {
        SCOPED_TRACE(std::to_string(start.section) + "," + std::to_string(start.offset));
        std::string field = "untouched";
        EXPECT_EQ(inf.GetField(start, 0, field), 0);
        EXPECT_EQ(field, "untouched");
        InfPos pos = start;
        EXPECT_EQ(inf.NextLine(pos), 0);
        EXPECT_EQ(pos.section, start.section);
        EXPECT_EQ(pos.offset, start.offset);
    }
}

TEST_F(InfFileTest, EmptyFileLoadsWithNothingToFind) {
    const CInfFile inf = LoadText("");
    InfPos pos;
    std::string value = "untouched";
    EXPECT_EQ(inf.GetValue("Version", "FlashWrite", value), 0);
    EXPECT_EQ(inf.Locate(pos, "Version", nullptr), 0);
    EXPECT_EQ(inf.GetField(pos, 0, value), 0);
    EXPECT_EQ(value, "untouched");
}

TEST_F(InfFileTest, LoadStartsAfresh) {
    const std::string path = m_folder.Write("twice.inf", "[A]\nK=1\n");
    CInfFile inf(path);
    ASSERT_EQ(inf.Load(), 1);
    m_folder.Write("twice.inf", "[B]\n");
    ASSERT_EQ(inf.Load(), 1);
    ASSERT_EQ(inf.GetLines().size(), 1u);
    EXPECT_EQ(inf.GetLines()[0].strText, "[B]");
}

TEST_F(InfFileTest, LoadMovesIntoTheUploadFolderOnlyAfterAnOpen) {
    const std::filesystem::path work = m_folder.Path() / "work";
    const std::filesystem::path upload = m_folder.Path() / "upload";
    std::filesystem::create_directories(work);
    const std::string script = m_folder.Write("work/p.inf", "[A]\n");
    std::filesystem::current_path(work);

    // No upload folder yet: the current directory stays.
    EXPECT_EQ(CInfFile(script).Load(), 1);
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), work));

    std::filesystem::create_directories(upload);
    // A script that cannot be opened leaves the current directory alone.
    CInfFile missing(m_folder.File("missing.inf"));
    EXPECT_EQ(missing.Load(), 0);
    EXPECT_TRUE(missing.GetLines().empty());
    EXPECT_NE(missing.GetErrorDetail().find("missing.inf"), std::string::npos);
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), work));

    // A relative script name resolves before the move.
    EXPECT_EQ(CInfFile("p.inf").Load(), 1);
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), upload));
}

TEST_F(InfFileTest, SpecialFilesAreNotScripts) {
    const std::filesystem::path upload = m_folder.Path() / "upload";
    std::filesystem::create_directories(upload);
    const std::string fifo = m_folder.File("pipe.inf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = m_folder.File("folder.inf");
    std::filesystem::create_directories(folder);
    const auto before = std::filesystem::current_path();

    for (const std::string& path : {fifo, folder, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        CInfFile inf(path);
        EXPECT_EQ(inf.Load(), 0);  // a FIFO must not block the open
        EXPECT_FALSE(inf.GetErrorDetail().empty());
        EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), before));
    }
}

}  // namespace
