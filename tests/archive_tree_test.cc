#include "package/archive_tree.h"

#include <gtest/gtest.h>

namespace provision {
namespace {

TEST(ArchiveTree, OnlyNamesThatStayInsideTheirFolderPass) {
  const struct {
    std::string name;
    std::string problem;
  } rows[] = {
      {"QMServer/install.sh", ""},
      {"QMServer/", ""},
      {"QMServer/..hidden", ""},  // dots that are part of a name
      {"QMServer/a..b/c..", ""},
      {"./QMServer//bin/./x", ""},
      {"QMServer/\xC3\xBC.txt", ""},
      {"", "has no name"},
      {"..", "climbs out"},
      {"QMServer/..", "climbs out"},
      {"./../x", "climbs out"},
      {"//x", "has an absolute name"},
      {"..\\..\\x", "has a backslash"},
      {"QMServer/a\tb", "has a control character"},
      {"QMServer/a\x7f", "has a control character"},
      {std::string("QMServer/a\0b", 12), "has a control character"},
  };
  for (const auto& row : rows) {
    const std::string problem = entryNameProblem(row.name);
    EXPECT_TRUE(problem.starts_with(row.problem)) << testing::PrintToString(row.name) << problem;
    EXPECT_EQ(problem.empty(), row.problem.empty()) << testing::PrintToString(row.name);
  }
}

TEST(ArchiveTree, LinksStayInsideAndLeadThroughNoOtherLink) {
  ArchiveTree tree;
  tree.add("QMServer/", EntryKind::Folder);
  tree.add("QMServer/lib/libq.so.1", EntryKind::File);
  tree.add("QMServer/up", EntryKind::Link);
  tree.add("QMServer/lib/libq.so", EntryKind::Link);
  const struct {
    std::string link, target, problem;
  } rows[] = {
      {"QMServer/lib/libq.so", "libq.so.1", ""},
      {"QMServer/lib/libq.so", "./libq.so.1", ""},
      {"QMServer/bin/tool", "../lib/libq.so.1", ""},
      {"QMServer/bin/tool", "../../QMServer/lib/", ""},  // the top of the tree, and back
      {"QMServer/up", "..", ""},
      {"QMServer/all", "up", ""},  // to a link, not through one
      {"top", ".", ""},
      {"QMServer/bin/tool", "../../../x", "is a link to ../../../x, outside the package"},
      {"top", "..", "is a link to .., outside the package"},
      {"QMServer/x", "a/../../..", "is a link to a/../../.., outside the package"},
      {"QMServer/x", "up/..", "is a link to up/.., which leads through the link QMServer/up"},
      {"QMServer/x", "./up/QMServer", "is a link to ./up/QMServer, which leads through the link"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(tree.linkProblem(row.link, row.target).substr(0, row.problem.size()), row.problem)
        << row.link << " -> " << row.target;
  }
  EXPECT_EQ(tree.entryUnderLink(), "");
  tree.add("QMServer//up/./x", EntryKind::File);
  EXPECT_EQ(tree.entryUnderLink(), "its entry QMServer/up/x lies under the link QMServer/up");
}

}  // namespace
}  // namespace provision
