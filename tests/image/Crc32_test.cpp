#include "Crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CrcCase {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t nExpected;
};

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The 66-byte worked image without its CRC record: header, one file block of "Upgrading...".
std::vector<uint8_t> WorkedImageBody() {
    std::vector<uint8_t> image = {0x00, 0x06, 0, 0, 0, 0,    0, 0, 0, 0, 0,
                                  0x01, 0x12, 0, 0, 0, 0x06, 0, 0, 0, 0};
    const std::string description = "Upgrading...";
    image.insert(image.end(), description.begin(), description.end());
    image.push_back(0);
    const std::vector<uint8_t> rest = {0x02, 0x04, 0,    0,    0, 0x00, 0x01, 0x00,
                                       0x00, 0x03, 0x04, 0,    0, 0,    0x12, 0x34,
                                       0x56, 0x78, 0x04, 0x00, 0, 0,    0};
    image.insert(image.end(), rest.begin(), rest.end());
    return image;
}

TEST(Crc32Test, CheckValues) {
    const CrcCase cases[] = {
        {"no bytes", {}, 0x00000000u},
        {"standard check 123456789", Bytes("123456789"), 0xCBF43926u},
        {"one byte a", Bytes("a"), 0xE8B7BE43u},
        {"one zero byte", {0x00}, 0xD202EF8Du},
        {"empty image header", {0x00, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x6699C1ABu},
        {"worked 66-byte image", WorkedImageBody(), 0x08F75F0Bu},
        {"256 bytes 0xFF", std::vector<uint8_t>(256, 0xFF), 0xFEA8A821u},
    };
    const CCrc32 crc;
    for (const CrcCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(crc.Compute(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.nExpected);
    }
}

TEST(Crc32Test, EveryCallStartsAfresh) {
    const CCrc32 crc;
    const std::vector<uint8_t> text = Bytes("123456789");
    EXPECT_EQ(crc.Compute(text.data(), 4), crc.Compute(text.data(), 4));
    EXPECT_EQ(crc.Compute(text.data(), 9), 0xCBF43926u);
    EXPECT_EQ(crc.Compute(nullptr, 0), 0u);
}

// Compute takes eight bytes a step and the rest one at a time: every length around those
// steps, at every alignment, must give what the bit-by-bit definition gives.
TEST(Crc32Test, EveryLengthAndAlignmentMatchesTheDefinition) {
    auto bitwise = [](const uint8_t* p, size_t n) {
        uint32_t c = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int bit = 0; bit < 8; ++bit) {
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            }
        }
        return c ^ 0xFFFFFFFFu;
    };
    std::vector<uint8_t> bytes(80);
    uint32_t seed = 1;
    for (uint8_t& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    const CCrc32 crc;
    for (size_t nStart = 0; nStart < 8; ++nStart) {
        for (size_t nCount = 0; nStart + nCount <= bytes.size(); ++nCount) {
            SCOPED_TRACE(testing::Message() << "start " << nStart << ", count " << nCount);
            EXPECT_EQ(crc.Compute(bytes.data() + nStart, static_cast<uint32_t>(nCount)),
                      bitwise(bytes.data() + nStart, nCount));
        }
    }
}

}  // namespace
