// Opening and reading package files. A package file must be a regular file that can be opened
// for reading: special files (FIFOs, devices, folders) are refused before anything reads from
// them, so a wrong name can never block the program. A read that fails or delivers fewer bytes
// than the file held when it was opened counts as a failure to open.
#pragma once

#include <cstdint>
#include <string>

// True when path names a regular file that can be opened for reading; otherwise false with
// strReason saying why ("cannot be opened (No such file or directory)").
bool CanOpenRegularFile(const std::string& path, std::string& strReason);

// Reads the whole regular file at path into strText. False, strText emptied, when it cannot be
// opened, is larger than nMaxSize bytes, or the read fails or comes up short; strReason then
// says why.
bool ReadRegularFile(const std::string& path, uint64_t nMaxSize, std::string& strText,
                     std::string& strReason);
