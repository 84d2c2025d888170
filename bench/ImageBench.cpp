// Micro-benchmarks of the hot paths of a build and a transfer: HEX conversion, CRC-32 over a
// whole image, CRC-16 over one block, and cutting an image into segments.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Crc32.h"
#include "HexFile.h"
#include "InfFile.h"
#include "SegmentCutter.h"
#include "XmodemSender.h"

namespace {

std::filesystem::path BigPackage() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / "orvanta-image-bench";
        const std::string cmd = std::string(MAKE_BIG_PACKAGE) + " " + d.string() + " >/dev/null";
        if (std::system(cmd.c_str()) != 0) {
            std::abort();
        }
        return d;
    }();
    return dir;
}

void BM_ConvertBigHex(benchmark::State& state) {
    const auto hex = (BigPackage() / "big.hex").string();
    for (auto _ : state) {
        CHexFile file(hex, 0x02);
        uint32_t length = 0;
        auto block = file.Convert(length, "bench");
        if (!block) {
            state.SkipWithError(file.GetErrorDetail().c_str());
            break;
        }
        benchmark::DoNotOptimize(block.get());
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(hex)));
}
BENCHMARK(BM_ConvertBigHex)->Unit(benchmark::kMillisecond);

void BM_BuildAndCut(benchmark::State& state) {
    // The script names its HEX file relative to its own folder, which the wizard and the tool
    // make current before building.
    std::filesystem::current_path(BigPackage());
    for (auto _ : state) {
        CInfFile script("big.inf");
        uint32_t length = 0;
        auto image = script.BuildImage(length);
        if (!image) {
            state.SkipWithError(script.GetErrorDetail().c_str());
            break;
        }
        CSegmentCutter cutter;
        cutter.SetImage(std::move(image), length);
        while (cutter.PrepareNextSegment()) {
            benchmark::DoNotOptimize(cutter.m_pSegment.get());
        }
    }
}
BENCHMARK(BM_BuildAndCut)->Unit(benchmark::kMillisecond);

void BM_Crc32Image(benchmark::State& state) {
    std::vector<uint8_t> image(0x100000, 0xA5);
    CCrc32 crc;
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc.Compute(image.data(), image.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_Crc32Image);

void BM_Crc16Block(benchmark::State& state) {
    uint8_t block[128];
    for (int i = 0; i < 128; ++i) {
        block[i] = static_cast<uint8_t>(i * 7);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(CXmodemSender::Crc16(block, sizeof block));
    }
}
BENCHMARK(BM_Crc16Block);

}  // namespace

BENCHMARK_MAIN();
