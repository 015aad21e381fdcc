#include "support/files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace provision::test {

namespace fs = std::filesystem;

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> folderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::int64_t fileSize(const std::string& path) {
  std::error_code error;
  auto size = fs::file_size(path, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

std::string patterned(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return data;
}

int countOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

}  // namespace provision::test
