#include "package/file_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <fstream>

#include "workspace/filesystem.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::add(const void* data, std::size_t size) {
  if (ok_) ok_ = EVP_DigestUpdate(context_, data, size) == 1;
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!ok_ || EVP_DigestFinal_ex(context_, digest, &size) != 1) return {};
  ok_ = false;
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0x0f];
  }
  return text;
}

bool isSha256Hex(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string sha256Hex(const std::string& bytes) {
  Sha256 sha;
  sha.add(bytes.data(), bytes.size());
  return sha.hex();
}

std::string fileSha256(const std::string& path) {
  // A folder opens on some systems, and reads as nothing.
  if (entryType(path) != EntryType::File) return {};
  std::ifstream in(toFsPath(path), std::ios::binary);
  if (!in) return {};
  Sha256 sha;
  std::string buffer(kReadSize, '\0');
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
    sha.add(buffer.data(), static_cast<std::size_t>(in.gcount()));
  // The loop ends at the end of the file or on a read error; only the first is a whole file.
  if (in.bad()) return {};
  return sha.hex();
}

std::string fileSetSha256(const std::string& folder, std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string& name : names) {
    const std::string digest = fileSha256(folder + kSep + name);
    if (digest.empty()) return {};
    list += digest + "  " + name + "\n";
  }
  return sha256Hex(list);
}

}  // namespace provision
