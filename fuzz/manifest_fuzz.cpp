// Any bytes as a job's SHA256SUMS, its signature and a public key: each is
// refused with a reason or read whole, never read past, and quickly. A
// signature that parses is also verified, so the library sees odd keys.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/JobManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TManifest manifest;
  (void)ParseManifest(text, size % 2 == 0, manifest);
  TPublicKey key;
  const bool keyRead = ParsePublicKey(text, key).empty();
  TSignature signature;
  if (ParseSignature(text, signature).empty()) {
    if (!keyRead) key.id = signature.keyId;
    (void)VerifySignature(signature, key, text);
  }
  return 0;
}
