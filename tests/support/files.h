// Small file and text helpers for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace provision::test {

// The whole file; empty when it cannot be read.
std::string readText(const std::string& path);
// Writes the file, creating its folders.
void writeText(const std::string& path, const std::string& text);
// Names in a folder (files and folders), sorted; empty when it does not exist.
std::vector<std::string> folderNames(const std::string& folder);
// -1 when the file does not exist.
std::int64_t fileSize(const std::string& path);
// `size` bytes of a fixed pattern that is not periodic in any small power of two, so a shifted
// or repeated block shows in a comparison.
std::string patterned(std::size_t size);
// How often `needle` occurs in `text`.
int countOf(const std::string& text, const std::string& needle);

}  // namespace provision::test
