// Writing orvanta-cli's JSON documents (info --json, ports --json) with nlohmann-json: objects
// print their keys in name order, indented by four spaces.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Text from a package (a description, a path), which is 8-bit as the script gives it: UTF-8
// when it is valid UTF-8, else read as Latin-1, so that every byte shows as the character it
// most likely meant.
nlohmann::json PackageText(const std::string& text);

// Text, or null when it is empty.
nlohmann::json TextOrNull(const std::string& text);

// A count or id, or null when it is negative (unknown).
nlohmann::json NumberOrNull(int nValue);

// Writes document to stdout, ending with a line end. Text that is not valid UTF-8 shows its
// faulty bytes as U+FFFD.
void PrintJson(const nlohmann::json& document);
