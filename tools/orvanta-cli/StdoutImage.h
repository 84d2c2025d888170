// `build -o -`: the .bin bytes of an image written to stdout (a pipe, a file, anything).
#pragma once

#include <cstdint>
#include <string>

// Complements the nLength bytes of pBuffer in place and writes them all to stdout. Returns true
// when every byte went out; false with strError saying why otherwise.
bool WriteImageToStdout(uint8_t* pBuffer, uint32_t nLength, std::string& strError);
