#include "workspace/text_file.h"

#include <algorithm>

namespace provision {

void skipByteOrderMark(std::istream& in) {
  static constexpr char kMark[] = {'\xEF', '\xBB', '\xBF'};
  const std::istream::pos_type start = in.tellg();
  char head[sizeof kMark];
  in.read(head, sizeof head);
  if (in.gcount() == sizeof head && std::equal(head, head + sizeof head, kMark)) return;
  in.clear();
  in.seekg(start);
}

}  // namespace provision
