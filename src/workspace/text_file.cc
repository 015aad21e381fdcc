#include "workspace/text_file.h"

#include <algorithm>

namespace provision {
namespace {

constexpr char kMark[kByteOrderMarkSize] = {'\xEF', '\xBB', '\xBF'};

}  // namespace

bool hasByteOrderMark(const std::string& text) {
  return text.size() >= kByteOrderMarkSize &&
         std::equal(kMark, kMark + kByteOrderMarkSize, text.begin());
}

void skipByteOrderMark(std::istream& in) {
  const std::istream::pos_type start = in.tellg();
  char head[kByteOrderMarkSize];
  in.read(head, sizeof head);
  if (in.gcount() == sizeof head && std::equal(head, head + sizeof head, kMark)) return;
  in.clear();
  in.seekg(start);
}

}  // namespace provision
