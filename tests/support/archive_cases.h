// Package archives that the check must judge alike in the Linux and the Windows build: sound ones,
// damaged ones, and ones that a unit's unzip would unpack wrongly, elsewhere or not at all. The
// Linux unit test and the Windows one under Wine both go through all of them.
#pragma once

#include <string>
#include <vector>

namespace provision::test {

struct ArchiveCase {
  std::string what;
  std::string bytes;
  std::string problem;  // how the check's problem text starts; empty for a sound archive
};

std::vector<ArchiveCase> archiveCases();

}  // namespace provision::test
