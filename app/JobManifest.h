#pragma once

// Signed jobs. A job's folder may carry SHA256SUMS (as sha256sum writes it)
// and SHA256SUMS.minisig (as minisign signs it). With a trusted key, only a
// job whose signature verifies and whose files all match their listed hashes
// may reach a unit; without one, a SHA256SUMS present still has to match.
// Everything read here comes from a mail, a download or a USB stick, so
// every parser refuses with a reason and caps what it reads.
//
// The hashes and signatures are libgcrypt's: nothing here computes them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TJob;

inline constexpr const char* kManifestName = "SHA256SUMS";
inline constexpr const char* kSignatureName = "SHA256SUMS.minisig";

inline constexpr const char* kSignatureNotValid = "Job signature not valid !!!";
inline constexpr const char* kNotTrusted = "Job not signed by a trusted key !!!";
inline constexpr const char* kNoMatch = " does not match the job's SHA256SUMS !!!";
inline constexpr const char* kNotListed = " is not listed in the job's SHA256SUMS !!!";
inline constexpr const char* kManifestNotValid = "Job's SHA256SUMS not valid !!!";
inline constexpr const char* kSignatureNotVerified =
    "SHA256SUMS.minisig not verified: no key is trusted";

// Large enough for thousands of files and for minisign's longest trusted
// comment; anything larger is not a job's, and is refused before it is read.
inline constexpr std::size_t kMaxManifestBytes = 1 << 20;
inline constexpr std::size_t kMaxSignatureBytes = 16 << 10;
inline constexpr std::size_t kMaxKeyBytes = 4 << 10;

using TSha256 = std::array<std::uint8_t, 32>;
using TKeyId = std::array<std::uint8_t, 8>;

struct TManifestEntry {
  std::string name;  // relative, "/" between folders, "." parts dropped
  TSha256 hash{};
  int line = 0;      // 1-based line of the manifest
  std::string text;  // the line as written
};

struct TManifest {
  std::vector<TManifestEntry> entries;
};

// Returns the reason the text is not a manifest, as "line N: reason", or
// nothing when it is one. `ignoreCase` where the file system compares names
// without case (Windows): two names that differ only in case are then twins.
std::string ParseManifest(std::string_view text, bool ignoreCase, TManifest& manifest);

struct TPublicKey {
  TKeyId id{};
  std::array<std::uint8_t, 32> key{};
  std::string source;  // the file it came from
};

std::string ParsePublicKey(std::string_view text, TPublicKey& key);

struct TSignature {
  bool prehashed = false;  // "ED": the signature covers BLAKE2b-512 of the file
  TKeyId keyId{};
  std::array<std::uint8_t, 64> signature{};
  std::string trustedComment;
  std::array<std::uint8_t, 64> globalSignature{};
};

std::string ParseSignature(std::string_view text, TSignature& signature);

// Both the file's signature and the one over the trusted comment; nothing
// when both verify, else the reason.
std::string VerifySignature(const TSignature& signature, const TPublicKey& key,
                            std::string_view signedBytes);

// A key id as minisign prints it: up to 16 hex digits (no leading zeros),
// the last byte first.
std::string KeyIdText(const TKeyId& id);
std::string Sha256Text(const TSha256& hash);
TSha256 Sha256(std::string_view bytes);

// A folder or file consulted for keys, whatever it gave: --check names every
// one, so that an empty or mistyped source is seen.
struct TKeySource {
  std::string origin;  // "installed folder", "QSR470_KEYS", "--trusted-key", "folder"
  std::string path;
  std::size_t keys = 0;
  bool absent = false;  // a folder that is not there
  std::string problem;  // why it refuses every job; empty when it does not
  std::string Describe() const;
};

struct TTrustedKeys {
  std::vector<TPublicKey> keys;
  std::vector<TKeySource> sources;  // in the order consulted
  // A key source that cannot be read. It refuses every job rather than
  // letting the rule fall back to unsigned jobs.
  std::string problem;
};

// `keys` beside the program on Windows, /etc/qsr470-updater/keys elsewhere.
std::string InstalledKeysFolder();

// Every *.pub in each folder, then each file. A folder that does not exist
// adds nothing; a key that does not read is a problem. Every folder and file
// is named in `sources`.
TTrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders,
                             const std::vector<std::string>& files);

// The installed folder, the folder QSR470_KEYS names, and `files` (the
// --trusted-key options). The extra sources only add keys.
TTrustedKeys GatherTrustedKeys(const std::vector<std::string>& files);

enum class TFileState {
  Matching,   // listed, and its bytes have the listed hash
  Changed,    // listed, and its bytes differ (or it cannot be read)
  NotListed,  // used by the job, absent from the manifest
};

struct TFileVerdict {
  std::string name;
  TFileState state = TFileState::Matching;
  std::string detail;
};

struct TJobFiles {
  std::string problem;  // the error stop's text; empty when the job may run
  std::string detail;   // one line for the command line's stderr
  std::string signer;   // "key ID (trusted comment)", or how the job is not signed
  // A signature present that nothing verified (no key is trusted), for the
  // run to report; empty otherwise.
  std::string note;
  bool checked = false;  // false when nothing applied: no key and no manifest
  std::vector<TFileVerdict> files;
  // Lines for --check: the signer, then each file with its state.
  std::vector<std::string> Describe() const;
};

// The names of the files a checked job loads, in the order of its lines.
std::vector<std::string> JobFileNames(const TJob& job);

// The rule. `folder` is the job's folder (the one its files are looked up
// in, empty for the current one); `script` the script that runs; `used` the
// names its instructions load, as they are written in it.
TJobFiles CheckJobFiles(const std::string& folder, const std::string& script,
                        const std::vector<std::string>& used, const TTrustedKeys& trusted);
