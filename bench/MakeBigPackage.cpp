// Writes the benchmark package: big.inf naming one HEX file, big.hex, that holds 1,000,000
// data bytes in 16-byte data lines with an extended segment address record every 64 KiB and
// CR LF line ends (about 2.8 MB of text). The image it builds stays just under the largest
// image the builder accepts. DATA_BYTES, when given, sets another count of data bytes (the
// last line then holds the rest), for instance 262144 for the transfer benchmarks.
//
// Usage: make-big-package DIR [DATA_BYTES]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr uint32_t kDefaultDataBytes = 1000000;
// Segmented addresses reach 1 MiB; the builder refuses images much above that anyway.
constexpr uint32_t kMaxDataBytes = 0x100000;
constexpr uint32_t kLineBytes = 16;

void AppendRecord(std::string& out, uint8_t count, uint16_t offset, uint8_t type,
                  const uint8_t* data) {
    static const char kHex[] = "0123456789ABCDEF";
    auto put = [&](uint8_t b) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    };
    uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + (offset & 0xFF) + type);
    out.push_back(':');
    put(count);
    put(static_cast<uint8_t>(offset >> 8));
    put(static_cast<uint8_t>(offset));
    put(type);
    for (uint8_t i = 0; i < count; ++i) {
        put(data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    put(static_cast<uint8_t>(-sum));
    out += "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t nDataBytes = kDefaultDataBytes;
    if (argc == 3) {
        char* pEnd = nullptr;
        const unsigned long nValue = std::strtoul(argv[2], &pEnd, 10);
        nDataBytes = (*argv[2] >= '0' && *argv[2] <= '9' && *pEnd == '\0' && nValue >= 1 &&
                      nValue <= kMaxDataBytes)
                         ? static_cast<uint32_t>(nValue)
                         : 0;
    }
    if (argc < 2 || argc > 3 || nDataBytes == 0) {
        std::fprintf(stderr, "usage: make-big-package DIR [DATA_BYTES]  (1 to %u; default %u)\n",
                     kMaxDataBytes, kDefaultDataBytes);
        return 64;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);

    std::string text;
    text.reserve(nDataBytes / kLineBytes * 46 + 64);
    uint32_t seed = 0x12345678;
    uint8_t line[kLineBytes];
    for (uint32_t address = 0; address < nDataBytes; address += kLineBytes) {
        if (address % 0x10000 == 0) {
            const uint16_t segment = static_cast<uint16_t>(address >> 4);
            const uint8_t value[2] = {static_cast<uint8_t>(segment >> 8),
                                      static_cast<uint8_t>(segment)};
            AppendRecord(text, 2, 0, 0x02, value);
        }
        const auto nCount = static_cast<uint8_t>(std::min(kLineBytes, nDataBytes - address));
        for (uint8_t i = 0; i < nCount; ++i) {
            seed = seed * 1664525u + 1013904223u;
            line[i] = static_cast<uint8_t>(seed >> 24);
        }
        AppendRecord(text, nCount, static_cast<uint16_t>(address & 0xFFFF), 0x00, line);
    }
    AppendRecord(text, 0, 0, 0x01, nullptr);

    std::ofstream(dir / "big.hex", std::ios::binary) << text;
    std::ofstream(dir / "big.inf", std::ios::binary)
        << "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n\r\n"
           "[DownloadFiles]\r\nExecuteFile=big.hex\r\n\r\n"
           "[FileDescription]\r\nbig.hex=Benchmark firmware\r\n";
    std::printf("%s/big.inf: %zu bytes of HEX text\n", dir.c_str(), text.size());
    return 0;
}
