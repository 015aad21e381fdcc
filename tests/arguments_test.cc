#include "app/arguments.h"

#include <gtest/gtest.h>

#include "app/console.h"
#include "settings/settings.h"

namespace provision {
namespace {

Settings apply(std::vector<const char*> args, std::string* error = nullptr) {
  args.insert(args.begin(), "provision");
  Settings s;
  std::string e = applyArguments(static_cast<int>(args.size()), args.data(), s);
  if (error) *error = e;
  return s;
}

TEST(Arguments, NoArgumentsIsModeTwoWithDefaults) {
  Settings s = apply({});
  EXPECT_EQ(s.mode, 2);
  EXPECT_EQ(s.configVariant, "CN");
  EXPECT_EQ(s.calibrationSubfolder, "");
}

TEST(Arguments, ModeIsReadLikeStoi) {
  EXPECT_EQ(apply({"1"}).mode, 1);
  EXPECT_EQ(apply({" +1"}).mode, 1);
  EXPECT_EQ(apply({"1abc"}).mode, 1);
  EXPECT_EQ(apply({"0x2"}).mode, 0);
  EXPECT_EQ(apply({"-5"}).mode, -5);
  EXPECT_EQ(apply({"\t\n 3"}).mode, 3);
  EXPECT_EQ(apply({"2147483647"}).mode, 2147483647);
  EXPECT_EQ(apply({"-2147483648"}).mode, -2147483647 - 1);
}

TEST(Arguments, RejectedModeNamesTheReasonAndStoresNothing) {
  std::string error;
  Settings s = apply({"abc", "EU", "sub"}, &error);
  EXPECT_EQ(error, "invalid stoi argument");
  EXPECT_EQ(s.configVariant, "CN");
  for (const char* bad : {"", " ", "+", "-", "+-1", "x1"}) {
    apply({bad}, &error);
    EXPECT_EQ(error, "invalid stoi argument") << '"' << bad << '"';
  }
  for (const char* big : {"99999999999", "2147483648", "-2147483649", "123456789012345678901234"}) {
    apply({big}, &error);
    EXPECT_EQ(error, "stoi argument out of range") << big;
  }
}

TEST(Arguments, VariantAndSubfolderAreCopiedAndExtrasIgnored) {
  Settings s = apply({"2", "", "sub", "extra", "more"});
  EXPECT_EQ(s.mode, 2);
  EXPECT_EQ(s.configVariant, "");
  EXPECT_EQ(s.calibrationSubfolder, "sub");
  EXPECT_EQ(apply({"2", "EU"}).configVariant, "EU");
  EXPECT_EQ(apply({"2", "C N;x"}).configVariant, "C N;x");  // the device gets it quoted
}

TEST(Arguments, VariantThatWouldLeaveItsDataFolderIsRejected) {
  for (const char* bad : {"..", "../CN", "CN/..", "a\nb"}) {
    std::string error;
    Settings s = apply({"2", bad, "sub"}, &error);
    EXPECT_TRUE(error.starts_with("The variant argument \"")) << error;
    EXPECT_EQ(s.configVariant, "CN") << bad;
    EXPECT_EQ(s.calibrationSubfolder, "") << bad;
  }
}

// A console window shared with a command prompt, or none at all, stays; only the window that a
// double-click opened for the program alone closes with it.
TEST(ClosingWait, OnlyAFailedRunAloneInItsConsoleWindowWaitsForEnter) {
  EXPECT_TRUE(waitsBeforeClosing(1, 1));
  EXPECT_TRUE(waitsBeforeClosing(1, -12));
  EXPECT_FALSE(waitsBeforeClosing(1, 0));
  EXPECT_FALSE(waitsBeforeClosing(2, 1));
  EXPECT_FALSE(waitsBeforeClosing(3, 64));
  EXPECT_FALSE(waitsBeforeClosing(0, 1));
}

}  // namespace
}  // namespace provision
