#include "workspace/partial_name.h"

#include <cstdint>
#include <random>

namespace provision {
namespace {

constexpr const char* kPartialPrefix = ".provision-";
constexpr const char* kPartialSuffix = ".part";
constexpr std::size_t kPartialRandomDigits = 16;

}  // namespace

std::string makePartialName() {
  static std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = kPartialPrefix;
  std::uint64_t bits = generator();
  for (std::size_t i = 0; i < kPartialRandomDigits; ++i, bits >>= 4) name += kHex[bits & 0xf];
  return name + kPartialSuffix;
}

std::string partialNameGlob() { return std::string(kPartialPrefix) + "*" + kPartialSuffix; }

bool isPartialDownloadName(const std::string& name) {
  return name.starts_with(kPartialPrefix) && name.ends_with(kPartialSuffix);
}

}  // namespace provision
