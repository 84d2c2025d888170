// Fuzz target: any bytes as a package script, read through every lookup and built into an
// image, in a private folder that is HOME (no upload folder) and current during each run,
// beside a valid HEX file a.hex that a script may name.
#include <cstdlib>
#include <cstring>

#include "InfFile.h"
#include "TestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static const orvtest::TempDir dir;  // removed when the fuzzer exits
    static const orvtest::EnvGuard home("HOME", dir.Path().string());
    static const std::string hex = dir.Write("a.hex", orvtest::MakeHexText({{0x1000, 0x100, {1}}}));
    const orvtest::CwdGuard cwd(dir.Path());  // libFuzzer reads its corpus by relative paths
    const std::string script =
        dir.Write("package.inf", std::string_view(reinterpret_cast<const char*>(pData), nSize));
    CInfFile inf(script);
    if (inf.Load()) {
        std::string value;
        inf.GetValue("Version", "FlashWrite", value);
        for (const CInfLine& line : inf.GetLines()) {  // sections and keys the script names
            InfPos pos;
            inf.Locate(pos, "Version", line.strText.c_str());
            if (line.strText[0] == '[' &&
                inf.Locate(pos, line.strText.substr(1, line.strText.find(']') - 1), nullptr)) {
                do {  // every field of every key line, up to one past the last
                    for (int n = 0; n < 8 && inf.GetField(pos, n, value); ++n) {
                    }
                } while (inf.NextLine(pos));
            }
        }
        if (nSize >= 8) {  // a position taken from the input, wherever it points
            InfPos pos;
            std::memcpy(&pos.section, pData, 4);
            std::memcpy(&pos.offset, pData + 4, 4);
            inf.GetField(pos, static_cast<int>(pData[0]) - 8, value);
            inf.NextLine(pos);
        }
    }
    uint32_t nLength = 0;
    if (CInfFile(script).BuildImage(nLength) && (nLength < 20 || nLength > IMAGE_BUFFER_SIZE)) {
        std::abort();
    }
    return 0;
}
