#include "InfFile.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using namespace orvtest;

// HOME is the test's own folder, without an upload folder unless a test makes one. The helpers
// give "n text|" per line read; a value or field, or when none is found "-" and what is left.
class InfFileTest : public ::testing::Test {
protected:
    CInfFile LoadText(std::string_view text) {
        CInfFile inf(m_dir.Write("package.inf", text));
        EXPECT_EQ(inf.Load(), 1);
        return inf;
    }
    static std::string Lines(const CInfFile& inf) {
        std::string text;
        for (const CInfLine& line : inf.GetLines()) {
            text += std::to_string(line.nLine) + " " + line.strText + "|";
        }
        return text;
    }
    std::string Value(std::string_view text, const char* section, const char* key) {
        std::string value;
        return LoadText(text).GetValue(section, key, value) ? value : "-" + value;
    }
    static std::string Field(const CInfFile& inf, const InfPos& pos, int n) {
        std::string field = "-";
        return inf.GetField(pos, n, field) ? field : "-" + field;
    }

    TempDir m_dir;
    EnvGuard m_home{"HOME", m_dir.Path().string()};
    CwdGuard m_cwd;
};

TEST_F(InfFileTest, AScriptWithCommentsAndBlankLinesIsReadByLine) {
    const CInfFile inf = LoadText(
        "; package\r\n[Version]\r\nFlashWrite = Enable\r\n\r\n[DownloadFiles]\r\n"
        "File=boot.hex, x\r\nExecuteFile=main.hex\r\n[FileDescription]\r\nmain.hex=Main , rev "
        "B\r\n");
    EXPECT_EQ(Lines(inf),
              "2 [Version]|3 FlashWrite = Enable|5 [DownloadFiles]|6 File=boot.hex, x|"
              "7 ExecuteFile=main.hex|8 [FileDescription]|9 main.hex=Main , rev B|");
    std::string value, description;
    EXPECT_EQ(inf.GetValue("version", "flashwrite", value), 1);
    EXPECT_EQ(inf.GetValue("FileDescription", "MAIN.HEX", description), 1);
    EXPECT_EQ(value + "|" + description, "Enable|Main,rev B");
    InfPos pos{7, 7};
    ASSERT_EQ(inf.Locate(pos, "DownloadFiles", nullptr), 1);
    EXPECT_EQ(std::make_pair(pos.section, pos.offset), std::make_pair(2, 1));
    EXPECT_EQ(Field(inf, pos, 0) + Field(inf, pos, 1) + Field(inf, pos, 2) + Field(inf, pos, 3),
              "Fileboot.hexx-");  // one past the last field fails and clears
    ASSERT_EQ(inf.NextLine(pos), 1);
    EXPECT_EQ(Field(inf, pos, 1), "main.hex");
    EXPECT_EQ(inf.NextLine(pos), 0);  // the next line is a header: pos stays
    EXPECT_EQ(std::make_pair(pos.section, pos.offset), std::make_pair(2, 2));
}

TEST_F(InfFileTest, LineSplittingAndTrimming) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"a=1\r\nb=2\nc=3\rd=4\r\n", "1 a=1|2 b=2|3 c=3|4 d=4|"}, {"\r\r\nx=1\n", "3 x=1|"},
        {"a=1\n\rb=2\n", "1 a=1|3 b=2|"}, {"a=1\nb=2", "1 a=1|"},  // LF CR: 2 ends; unended: none
        {"  \t\r\n; note\r\n   ;x=1\r\n\v\f\r\n", ""}, {" k = v ; note \r\n", "1 k = v ; note|"},
        {std::string("a=1\0rest\nb\n\0abc\n", 16), "1 a=1|2 b|"},  // NUL cuts its line
        {"\xA0x=1\xA0\n", "1 \xA0x=1\xA0|"},  // bytes from 0x80 are no white space
    };
    // clang-format on
    for (const auto& [text, lines] : cases) {
        EXPECT_EQ(Lines(LoadText(text)), lines) << text;
    }
}

TEST_F(InfFileTest, ValuesQuotesSectionsAndFields) {
    // clang-format off
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"key=value ; note", "KEY", "value ; note"}, {"K=", "K", ""}, {"K=a=b", "K", "a=b"},
        {"\"K\"=v", "K", "v"}, {" \" K \" = v", " K ", "v"}, {"K=\"a,b\"", "K", "a,b"},
        {"K=,a,,b,", "K", "a,,b,"}, {"K = a , b", "K", "a,b"}, {"K = \"a\" , b", "K", "a,b"},
        {"K=\"abc", "K", "abc"}, {"K=abc\"", "K", "abc"}, {"K=\"", "K", ""}, {"K=\"\"", "K", ""},
        {"K=\" a \"", "K", " a "}, {"K=a\"b\"c", "K", "a\"b\"c"}, {"K=,a", "K", "a"},
        {"K=a,", "K", "a,"}, {"K", "K", "-"}, {"K =1", "K", "1"}, {"Ks=1", "K", "-"},
        {"\xC4=1", "\xE4", "-"}, {"=1", "", "1"},
    };
    // clang-format on
    for (const auto& [line, key, value] : cases) {
        EXPECT_EQ(Value(std::string("[S]\r\n") + line + "\r\n", "S", key), value) << line;
    }
    // clang-format off
    const std::tuple<const char*, const char*, const char*, const char*> sections[] = {
        {"[ Version ]\nK=1\n", "Version", "K", "-"}, {"[Version] any\nK=1\n", "Version", "K", "1"},
        {"[version]\nK=1\n", "VERSION", "k", "1"}, {"[A]]\nK=1\n", "A", "K", "1"},
        {"[]\nK=1\n", "", "K", "1"}, {"[A]\nK=1\n[\nL=2\n", "A", "L", "-"},
        {"[A]\nK=1\n[A\nL=2\n", "A", "L", "-"}, {"[A\nL=2\n", "A", "L", "-"},
        {"[A]\nK=1\nnote\nL=2\n", "A", "L", "-"}, {"[A]\nnote\nK=1\n", "A", "K", "-"},
        {"[A]\nK=1\n\n  \n; c\nL=2\n", "A", "L", "2"}, {"[A]\nK=1\n[a]\nL=2\n", "A", "L", "-"},
        {"[A]\nK=1\nk=2\n", "A", "K", "1"}, {"[A]\nK=1\n[B]\nL=2\n", "A", "L", "-"},
        {"[A]\nK=1\n", "B", "K", "-"}, {"[A]\nK=1", "A", "K", "-"}, {"K=1\n[A]\n", "A", "K", "-"},
    };
    // clang-format on
    for (const auto& [text, section, key, value] : sections) {
        EXPECT_EQ(Value(text, section, key), value) << text;
    }
    const CInfFile inf = LoadText("[S]\r\nFile = \"a,b\" , , last,\r\n");
    InfPos pos;
    ASSERT_EQ(inf.Locate(pos, "S", "file"), 1);
    std::string fields;
    for (int n = -1; n <= 6; ++n) {
        fields += Field(inf, pos, n) + "|";
    }
    EXPECT_EQ(fields, "-|File|a|b||last||-|");  // cut at every comma, quotes or not
}

// Load goes into the upload folder when that exists, only after the script opened, and
// resolves a relative script name before the move; a second Load starts afresh. Without an
// upload folder, or with one that is not there, the current directory stays.
TEST_F(InfFileTest, LoadAndTheUploadFolder) {
    const std::string script = m_dir.Write("work/p.inf", "[A]\n");
    std::filesystem::create_directories(m_dir / "upload");
    std::filesystem::current_path(m_dir / "work");
    EXPECT_EQ(CInfFile(m_dir / "missing.inf", m_dir / "upload").Load(), 0);
    EXPECT_EQ(CInfFile("p.inf").Load(), 1);
    EXPECT_EQ(CInfFile("p.inf", m_dir / "absent").Load(), 1);
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), m_dir / "work"));
    EXPECT_EQ(DefaultUploadFolder(), m_dir / "upload");
    CInfFile inf("p.inf", DefaultUploadFolder());
    EXPECT_EQ(inf.Load(), 1);
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), m_dir / "upload"));
    m_dir.Write("upload/p.inf", "[B]\n");
    ASSERT_EQ(inf.Load(), 1);
    EXPECT_EQ(Lines(inf), "1 [B]|");
}

}  // namespace
