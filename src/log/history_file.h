// The unit history's file (history_file.cc, on each platform's calls of shared_file.h) and the
// station's name (history_file-posix.cc, history_file-win32.cc); paths are narrow UTF-8 strings.
#pragma once

#include <string>

namespace provision {

// Appends the record `text` (ending with `recordEnd`) to the file at `path`, creating it when
// missing, with one write while this process holds a lock of the whole file (a POSIX record lock;
// LockFileEx on Windows), which writers on other computers sharing the file over a network drive
// honour as well. When the file is empty, `head` goes before `text` in the same write; when it does
// not end with `recordEnd`, what is missing of it does. A write cut short is cut back off under
// the lock: the record is there whole or not at all. On a file system without locks the write
// goes ahead unlocked. False when the file cannot be opened or written whole, or when the lock is
// not had within a few seconds.
bool appendToSharedFile(const std::string& path, const std::string& head, const std::string& text,
                        const std::string& recordEnd);

// This computer's name (the host name; on Windows the computer name), as UTF-8; empty when the
// system does not tell.
std::string stationName();

}  // namespace provision
