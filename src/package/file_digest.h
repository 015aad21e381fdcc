// SHA-256 digests of local files, as the unit history keeps them: of one package, and of a set of
// calibration files. OpenSSL's libcrypto computes them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct evp_md_ctx_st;

namespace provision {

// One SHA-256 computation over data that comes in pieces.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void add(const void* data, std::size_t size);
  // The digest in 64 lower-case hex digits; empty when libcrypto refused a step.
  std::string hex();

 private:
  evp_md_ctx_st* context_;
  bool ok_ = false;
};

// Whether `text` is a SHA-256 as this program writes them: 64 lower-case hex digits.
bool isSha256Hex(const std::string& text);

// The SHA-256 of `bytes` in 64 lower-case hex digits.
std::string sha256Hex(const std::string& bytes);

// The SHA-256 of the file at the local path `path` (UTF-8) in 64 lower-case hex digits; empty when
// it cannot be read whole.
std::string fileSha256(const std::string& path);

// One SHA-256 over the files `names` of `folder`, their names and their contents: the SHA-256 of a
// list with one line per file, in the byte order of the names, each the file's SHA-256, two blanks,
// its name and a line feed (what `sha256sum` prints for names without a backslash or a line
// feed). Empty when a file cannot be read.
std::string fileSetSha256(const std::string& folder, std::vector<std::string> names);

}  // namespace provision
