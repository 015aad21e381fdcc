#include <windows.h>

#include <filesystem>

#include "log/history_file.h"

namespace provision {

std::string stationName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  const std::u8string utf8 = std::filesystem::path(std::wstring(name, size)).u8string();
  return std::string(utf8.begin(), utf8.end());
}

}  // namespace provision
