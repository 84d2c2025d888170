// Fuzz target: any bytes as a package script, read through every lookup and built into an
// image. The script lives in a private folder beside one small valid HEX file, a.hex, that a
// script may name. The folder is the current directory during each run (libFuzzer itself reads
// its corpus by relative paths, so the old one comes back afterwards); HOME points at the
// folder, which has no upload folder, so loading never moves the current directory.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "InfFile.h"

namespace {

std::string g_folder;
std::string g_script;
int g_nHomeDir = -1;  // the current directory the fuzzer started in

void RemoveFolder() {
    std::error_code ec;
    std::filesystem::remove_all(g_folder, ec);
}

void Setup() {
    const char* pTmp = getenv("TMPDIR");
    std::string pattern = std::string(pTmp && *pTmp ? pTmp : "/tmp") + "/orvanta-fuzz-inf-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        abort();
    }
    g_folder = pattern;
    atexit(RemoveFolder);
    g_nHomeDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_nHomeDir < 0) {
        abort();
    }
    g_script = g_folder + "/package.inf";
    std::ofstream(g_folder + "/a.hex", std::ios::binary)
        << ":020000021000EC\r\n:0401000012345678E7\r\n:0400000300001234B3\r\n:00000001FF\r\n";
    setenv("HOME", g_folder.c_str(), 1);
}

void WriteScript(const uint8_t* pData, size_t nSize) {
    std::ofstream out(g_script, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(pData), static_cast<std::streamsize>(nSize));
}

// Every key line of the section, every field up to one past the last.
void WalkSection(const CInfFile& inf, const std::string& section) {
    InfPos pos;
    if (!inf.Locate(pos, section, nullptr)) {
        return;
    }
    std::string field;
    do {
        for (int n = 0; n < 8 && inf.GetField(pos, n, field); ++n) {
        }
    } while (inf.NextLine(pos));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (g_folder.empty()) {
        Setup();
    }
    if (chdir(g_folder.c_str()) != 0) {
        abort();
    }
    WriteScript(pData, nSize);

    CInfFile inf(g_script);
    if (inf.Load()) {
        std::string value;
        inf.GetValue("Version", "FlashWrite", value);
        inf.GetValue("FileDescription", "a.hex", value);
        WalkSection(inf, "DownloadFiles");
        // Sections and keys named by the script itself.
        for (const CInfLine& line : inf.GetLines()) {
            const std::string& text = line.strText;
            if (text[0] == '[') {
                WalkSection(inf, text.substr(1, text.find(']') - 1));
            }
            InfPos pos;
            inf.Locate(pos, "Version", text.c_str());
        }
        // Positions taken from the input, wherever they point.
        if (nSize >= 8) {
            InfPos pos;
            std::memcpy(&pos.section, pData, 4);
            std::memcpy(&pos.offset, pData + 4, 4);
            std::string field;
            inf.GetField(pos, static_cast<int>(pData[0]) - 8, field);
            inf.NextLine(pos);
        }
    }

    CInfFile builder(g_script);
    uint32_t nLength = 0;
    const std::unique_ptr<uint8_t[]> pImage = builder.BuildImage(nLength);
    if (pImage && (nLength < 20 || nLength > 0x100000)) {
        abort();
    }
    if (fchdir(g_nHomeDir) != 0) {
        abort();
    }
    return 0;
}
