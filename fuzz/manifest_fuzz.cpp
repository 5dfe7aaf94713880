// Any bytes as a job's SHA256SUMS, its signature and a public key: each is
// refused with a reason or read whole, never read past, and quickly. A
// signature that parses is verified over the same bytes with a real key, and
// a key that parses verifies a real signature, so the library sees both
// sides made up.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/JobManifest.h"

namespace {

// Made by minisign -G and -S over "hello\n".
constexpr std::string_view kKey =
    "untrusted comment: minisign public key 586B0648AC6BBB7D\n"
    "RWR9u2usSAZrWHkLOaAti432XG13vuqA0bSj76ux70Kt+inxrWgVbLyK\n";
constexpr std::string_view kSignature =
    "untrusted comment: signature from minisign secret key\n"
    "RUR9u2usSAZrWNc47Xdnf0FdR8SvQ41Zx/no7WLA7tp3XDOd3WxP5dZNhXSXVCeE1jvM3vQ95y/"
    "GXVqNp5Ea9BzqKMAmge25fgc=\n"
    "trusted comment: tc here\n"
    "v+E/bjkRdWBrTMMT+ue3Epi11B12Jcb/SWbUhsXvFD81gC4GOW3u+GxwKPy1pxistYBDFgiOsKWNNArH6bwGAA==\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TManifest manifest;
  (void)ParseManifest(text, size % 2 == 0, manifest);
  // Read once: verifying them on every input would take most of the time.
  static const TPublicKey kReal = [] {
    TPublicKey key;
    TSignature signature;
    if (!ParsePublicKey(kKey, key).empty() || !ParseSignature(kSignature, signature).empty() ||
        !VerifySignature(signature, key, "hello\n").empty())
      __builtin_trap();
    return key;
  }();
  static const TSignature kSigned = [] {
    TSignature signature;
    (void)ParseSignature(kSignature, signature);
    return signature;
  }();
  TPublicKey real = kReal;
  const TSignature& signed_ = kSigned;
  TPublicKey key;
  if (ParsePublicKey(text, key).empty()) {
    key.id = signed_.keyId;
    (void)VerifySignature(signed_, key, "hello\n");
  }
  TSignature signature;
  if (ParseSignature(text, signature).empty()) {
    real.id = signature.keyId;
    (void)VerifySignature(signature, real, text);
  }
  return 0;
}
