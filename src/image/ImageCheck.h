// The check that an image read from a .bin file follows the record grammar before anything
// uses it: image header first; file blocks of a file header, address/data pairs and an end
// record; the CRC record last with nothing after it; every length inside the image; the CRC
// record equal to the CRC-32 of the bytes before it. An image written by the builder always
// passes.
#pragma once

#include <cstdint>
#include <string>

// Returns 1 when the nSize bytes at pImage form a valid image; 0 otherwise, with a reason a
// person can act on in strReason (for example "record at offset 0x1F runs past the end of the
// image"). Never reads outside [pImage, pImage + nSize).
int CheckImage(const uint8_t* pImage, uint32_t nSize, std::string& strReason);

// Number of file blocks (file header records) in a valid image.
uint32_t CountFileBlocks(const uint8_t* pImage, uint32_t nSize);
