// UTF-8 <-> UTF-16 at the wide Windows calls. Narrow strings in this program are UTF-8; they are
// widened only where a wide system call takes them and narrowed where one hands text back.
#pragma once

#include <windows.h>

#include <string>

namespace provision {

// `text` (UTF-8) as UTF-16. Invalid sequences become U+FFFD.
inline std::wstring widenUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  return wide;
}

// `text` (UTF-16, `length` units or up to its terminator) as UTF-8.
inline std::string narrowUtf8(const wchar_t* text, int length = -1) {
  if (length < 0) length = static_cast<int>(wcslen(text));
  if (length == 0) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

inline std::string narrowUtf8(const std::wstring& text) {
  return narrowUtf8(text.c_str(), static_cast<int>(text.size()));
}

}  // namespace provision
