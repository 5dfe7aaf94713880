#include "app/JobManifest.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <system_error>

#include "app/JobCheck.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

const bool kNamesIgnoreCase = platform::FileNamesIgnoreCase();

constexpr std::string_view kUntrusted = "untrusted comment: ";
constexpr std::string_view kTrusted = "trusted comment: ";

// libgcrypt wants its version checked once before first use; without secure
// memory, since nothing secret passes through here (public keys and hashes).
bool GcryptReady() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseSha256(std::string_view text, TSha256& hash) {
  if (text.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const int high = HexNibble(text[2 * i]);
    const int low = HexNibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    hash[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

std::string HexText(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Splits at LF, dropping the CR of a CR LF (files that travelled through a
// Windows editor). A final line end does not start another line.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// An editor or a mail client may leave empty lines after a key or a
// signature; minisign reads past them, and so must a station.
void DropTrailingEmptyLines(std::vector<std::string_view>& lines) {
  while (!lines.empty() && lines.back().empty())
    lines.pop_back();
}

std::optional<std::vector<std::uint8_t>> Base64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return std::nullopt;
    std::uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      const int v = k >= 4 - pad ? 0 : value(text[i + k]);
      if (v < 0) return std::nullopt;
      group = group << 6 | static_cast<std::uint32_t>(v);
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (pad < 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (pad < 1) bytes.push_back(static_cast<std::uint8_t>(group));
  }
  return bytes;
}

bool Printable(std::string_view text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// A name a manifest may list: relative to the job's folder, "/" between its
// parts, nothing that leads out of the folder. "." parts are dropped, since
// `sha256sum ./boot.hex` writes them.
std::string NameProblem(std::string_view name, std::string& normal) {
  if (name.empty()) return "no file name";
  if (!Printable(name)) return "a control character in the name";
  if (name.find('\\') != std::string_view::npos) return "a backslash in the name";
  if (name.front() == '/') return "an absolute name";
  if (name.find(':') != std::string_view::npos) return "a drive letter or ':' in the name";
  normal.clear();
  while (!name.empty()) {
    const std::size_t end = name.find('/');
    const std::string_view part = name.substr(0, end);
    if (part.empty()) return "an empty folder name";
    if (part == "..") return "'..' in the name";
    if (part != ".") {
      if (!normal.empty()) normal += '/';
      normal += part;
    }
    if (end == std::string_view::npos) break;
    name.remove_prefix(end + 1);
    if (name.empty()) return "a name ending with '/'";
  }
  if (normal.empty()) return "no file name";
  return {};
}

enum class ReadResult { kOk, kMissing, kTooLarge, kNotAFile, kError };

ReadResult ReadCapped(const std::string& path, std::size_t cap, std::string& bytes) {
  std::error_code error;
  if (!fs::exists(path, error)) return error ? ReadResult::kError : ReadResult::kMissing;
  // A FIFO would block the read for ever.
  if (!fs::is_regular_file(path, error)) return ReadResult::kNotAFile;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ReadResult::kError;
  bytes.assign(cap + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) return ReadResult::kError;
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes.size() > cap ? ReadResult::kTooLarge : ReadResult::kOk;
}

std::string ReadProblem(ReadResult result, const std::string& path, std::size_t cap) {
  switch (result) {
    case ReadResult::kOk:
      return {};
    case ReadResult::kMissing:
      return path + " is missing";
    case ReadResult::kTooLarge:
      return path + " is larger than " + std::to_string(cap) + " bytes";
    case ReadResult::kNotAFile: {
      const std::string why = platform::NotAFileReason(path);
      return path + " is " + (why.empty() ? "not a regular file" : why);
    }
    case ReadResult::kError:
      break;
  }
  return path + " cannot be read";
}

// The hash of a job's file, or why it cannot be read. Only the whole bytes
// the platform layer takes (a regular file no larger than a job's may be)
// are hashed: during a run those are the very bytes the handlers will send,
// and nothing else, such as a FIFO or /dev/zero, can stall the run.
std::string Sha256OfFile(const std::string& path, TSha256& hash) {
  if (!GcryptReady()) return "the cryptographic library did not start";
  std::shared_ptr<const std::string> bytes;
  if (std::string why = platform::JobFileBytes(path, bytes); !why.empty()) return why;
  hash = Sha256(*bytes);
  return {};
}

struct SexpReleaser {
  void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpReleaser>;

bool Ed25519Verify(const std::array<std::uint8_t, 32>& publicKey,
                   const std::array<std::uint8_t, 64>& signature, std::string_view message) {
  if (!GcryptReady()) return false;
  gcry_sexp_t key = nullptr;
  gcry_sexp_t sig = nullptr;
  gcry_sexp_t data = nullptr;
  const int keySize = static_cast<int>(publicKey.size());
  const int half = 32;
  const int messageSize = static_cast<int>(message.size());
  if (gcry_sexp_build(&key, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", keySize,
                      publicKey.data()) != 0)
    return false;
  const Sexp keyOwner(key);
  if (gcry_sexp_build(&sig, nullptr, "(sig-val(eddsa(r %b)(s %b)))", half, signature.data(), half,
                      signature.data() + half) != 0)
    return false;
  const Sexp sigOwner(sig);
  if (gcry_sexp_build(&data, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      messageSize, message.data()) != 0)
    return false;
  const Sexp dataOwner(data);
  return gcry_pk_verify(sig, data, key) == 0;
}

bool EndsWithPub(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.size() > 4 && SameName(std::string_view(name).substr(name.size() - 4), ".pub", true);
}

std::string AddKeyFile(const std::string& path, TTrustedKeys& trusted, TKeySource& source) {
  std::string text;
  const ReadResult read = ReadCapped(path, kMaxKeyBytes, text);
  if (read != ReadResult::kOk) return ReadProblem(read, path, kMaxKeyBytes);
  TPublicKey key;
  if (const std::string problem = ParsePublicKey(text, key); !problem.empty())
    return path + ": " + problem;
  key.source = path;
  trusted.keys.push_back(std::move(key));
  ++source.keys;
  return {};
}

// Whether two paths name one folder. The file system's own answer first (it
// sees links); where it has none to give, as for folders under Windows'
// runtime, the absolute paths as written, compared as the system compares
// names.
bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code error;
  if (fs::equivalent(a, b, error)) return true;
  auto normal = [&](const std::string& path) {
    std::string text = fs::absolute(path, error).lexically_normal().string();
    if (kNamesIgnoreCase) {
      std::replace(text.begin(), text.end(), '\\', '/');
      std::transform(text.begin(), text.end(), text.begin(), Lower);
    }
    while (text.size() > 1 && text.back() == '/')
      text.pop_back();
    return text;
  };
  return normal(a) == normal(b);
}

std::string InFolder(const std::string& folder, const std::string& name) {
  return folder + name;
}

}  // namespace

std::string ParseManifest(std::string_view text, bool ignoreCase, TManifest& manifest) {
  manifest.entries.clear();
  if (text.size() > kMaxManifestBytes)
    return "larger than " + std::to_string(kMaxManifestBytes) + " bytes";
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.empty()) return "no file listed";
  // A manifest of the largest size holds some 15000 names: a quadratic
  // search for twins would take a noticeable while.
  std::map<std::string, int> seen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::string where = "line " + std::to_string(i + 1) + ": ";
    TManifestEntry entry;
    std::string_view name;
    std::string_view digits;
    if (line.starts_with("SHA256 (")) {
      // The BSD form; the name ends at the last ") = ", since a name may hold one.
      const std::size_t close = line.rfind(") = ");
      if (close == std::string_view::npos || close < 8) return where + "no ') = ' after the name";
      name = line.substr(8, close - 8);
      digits = line.substr(close + 4);
    } else {
      // sha256sum's form: the hash, a blank, then a blank (text) or '*' (binary).
      if (line.size() < 66 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
        return where + "not a SHA-256 line (64 hex digits, two blanks or \" *\", a name)";
      digits = line.substr(0, 64);
      name = line.substr(66);
    }
    if (!ParseSha256(digits, entry.hash)) return where + "the hash is not 64 hex digits";
    if (const std::string problem = NameProblem(name, entry.name); !problem.empty())
      return where + problem;
    std::string key = entry.name;
    if (ignoreCase) std::transform(key.begin(), key.end(), key.begin(), Lower);
    const auto [twin, first] = seen.emplace(std::move(key), static_cast<int>(i + 1));
    if (!first)
      return where + entry.name + " is listed twice (first on line " +
             std::to_string(twin->second) + ")";
    entry.line = static_cast<int>(i + 1);
    entry.text = line;
    manifest.entries.push_back(std::move(entry));
  }
  return {};
}

std::string ParsePublicKey(std::string_view text, TPublicKey& key) {
  if (text.size() > kMaxKeyBytes) return "larger than " + std::to_string(kMaxKeyBytes) + " bytes";
  std::vector<std::string_view> lines = SplitLines(text);
  DropTrailingEmptyLines(lines);
  if (!lines.empty() && lines.front().starts_with(kUntrusted)) lines.erase(lines.begin());
  if (lines.size() != 1) return "not a minisign public key (a comment line and one key line)";
  const auto bytes = Base64(lines[0]);
  if (!bytes || bytes->size() != 42) return "not a minisign public key (the key line)";
  if ((*bytes)[0] != 'E' || (*bytes)[1] != 'd') return "not an Ed25519 key";
  std::copy_n(bytes->begin() + 2, key.id.size(), key.id.begin());
  std::copy_n(bytes->begin() + 10, key.key.size(), key.key.begin());
  // libgcrypt 1.10 aborts the program on a key whose y coordinate fits in
  // three of its 64-bit limbs. No real key is one (the chance is 2^-63), so
  // such a key is refused before the library sees it.
  const bool smallY =
      std::all_of(key.key.begin() + 24, key.key.end() - 1, [](std::uint8_t b) { return b == 0; }) &&
      (key.key.back() & 0x7F) == 0;
  if (smallY) return "not a valid Ed25519 key";
  return {};
}

std::string ParseSignature(std::string_view text, TSignature& signature) {
  if (text.size() > kMaxSignatureBytes)
    return "larger than " + std::to_string(kMaxSignatureBytes) + " bytes";
  std::vector<std::string_view> lines = SplitLines(text);
  DropTrailingEmptyLines(lines);
  if (lines.size() != 4) return "not four lines as minisign writes them";
  if (!lines[0].starts_with(kUntrusted)) return "line 1: no untrusted comment";
  const auto bytes = Base64(lines[1]);
  if (!bytes || bytes->size() != 74) return "line 2: not a signature";
  if ((*bytes)[0] != 'E' || ((*bytes)[1] != 'D' && (*bytes)[1] != 'd'))
    return "line 2: not an Ed25519 signature";
  signature.prehashed = (*bytes)[1] == 'D';
  std::copy_n(bytes->begin() + 2, signature.keyId.size(), signature.keyId.begin());
  std::copy_n(bytes->begin() + 10, signature.signature.size(), signature.signature.begin());
  if (!lines[2].starts_with(kTrusted)) return "line 3: no trusted comment";
  signature.trustedComment = lines[2].substr(kTrusted.size());
  const auto global = Base64(lines[3]);
  if (!global || global->size() != 64) return "line 4: not the trusted comment's signature";
  std::copy(global->begin(), global->end(), signature.globalSignature.begin());
  return {};
}

std::string VerifySignature(const TSignature& signature, const TPublicKey& key,
                            std::string_view signedBytes) {
  if (!GcryptReady()) return "the cryptographic library did not start";
  if (signature.keyId != key.id) return "made by key " + KeyIdText(signature.keyId);
  std::string message(signedBytes);
  if (signature.prehashed) {
    std::array<std::uint8_t, 64> digest;
    gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest.data(), signedBytes.data(), signedBytes.size());
    message.assign(digest.begin(), digest.end());
  }
  if (!Ed25519Verify(key.key, signature.signature, message))
    return "SHA256SUMS does not verify with key " + KeyIdText(key.id);
  // The trusted comment is signed together with the file's signature, so it
  // cannot be moved to another file's signature or changed.
  std::string global(signature.signature.begin(), signature.signature.end());
  global += signature.trustedComment;
  if (!Ed25519Verify(key.key, signature.globalSignature, global))
    return "the trusted comment does not verify with key " + KeyIdText(key.id);
  return {};
}

std::string KeyIdText(const TKeyId& id) {
  TKeyId reversed;
  std::reverse_copy(id.begin(), id.end(), reversed.begin());
  std::string text = HexText(reversed.data(), reversed.size());
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });
  // minisign writes the id as a number, without leading zeros: the same
  // text lets a station's keeper find it in a key file's comment.
  const std::size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  return text.substr(first);
}

std::string Sha256Text(const TSha256& hash) {
  return HexText(hash.data(), hash.size());
}

TSha256 Sha256(std::string_view bytes) {
  TSha256 hash{};
  if (GcryptReady()) gcry_md_hash_buffer(GCRY_MD_SHA256, hash.data(), bytes.data(), bytes.size());
  return hash;
}

std::string InstalledKeysFolder() {
  return platform::InstalledKeysFolder();
}

TTrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders,
                             const std::vector<std::string>& files) {
  TTrustedKeys trusted;
  auto fail = [&](TKeySource& source, const std::string& problem) {
    if (source.problem.empty()) source.problem = problem;
    if (trusted.problem.empty()) trusted.problem = problem;
  };
  for (const std::string& folder : folders) {
    TKeySource source;
    source.origin = "folder";
    source.path = folder;
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
      source.absent = true;
      trusted.sources.push_back(std::move(source));
      continue;
    }
    std::vector<fs::path> keys;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      if (EndsWithPub(it->path())) keys.push_back(it->path());
    }
    if (error) fail(source, folder + " cannot be listed");
    // One order on every machine, so the same key wins the same way.
    std::sort(keys.begin(), keys.end());
    for (const fs::path& key : keys) {
      if (std::string problem = AddKeyFile(key.string(), trusted, source); !problem.empty())
        fail(source, problem);
    }
    trusted.sources.push_back(std::move(source));
  }
  for (const std::string& file : files) {
    TKeySource source;
    source.origin = "--trusted-key";
    source.path = file;
    if (std::string problem = AddKeyFile(file, trusted, source); !problem.empty())
      fail(source, problem);
    trusted.sources.push_back(std::move(source));
  }
  return trusted;
}

TTrustedKeys GatherTrustedKeys(const std::vector<std::string>& files) {
  std::vector<std::string> folders{InstalledKeysFolder()};
  const char* extra = std::getenv("QSR470_KEYS");
  if (extra && *extra) folders.push_back(extra);
  TTrustedKeys trusted = LoadTrustedKeys(folders, files);
  trusted.sources[0].origin = "installed folder";
  if (extra && *extra) {
    TKeySource& source = trusted.sources[1];
    source.origin = "QSR470_KEYS";
    // A mistyped folder must not quietly leave jobs unsigned.
    if (source.absent) {
      source.problem = std::string("QSR470_KEYS names ") + extra + ", which is not a folder";
      if (trusted.problem.empty()) trusted.problem = source.problem;
    }
  }
  return trusted;
}

std::string TKeySource::Describe() const {
  std::string text = origin + " " + path + ": ";
  text += absent      ? "not there"
          : keys == 0 ? "no key"
          : keys == 1 ? "1 key"
                      : std::to_string(keys) + " keys";
  if (!problem.empty()) text += "; " + problem + " (this refuses every job)";
  return text;
}

std::vector<std::string> TJobFiles::Describe() const {
  std::vector<std::string> lines{"signer: " + signer};
  for (const TFileVerdict& file : files) {
    std::string state;
    switch (file.state) {
      case TFileState::Matching:
        state = "listed and matching";
        break;
      case TFileState::Changed:
        state = "changed";
        break;
      case TFileState::NotListed:
        state = "not listed";
        break;
    }
    lines.push_back(file.name + ": " + state +
                    (file.detail.empty() ? "" : " (" + file.detail + ")"));
  }
  return lines;
}

std::vector<std::string> JobFileNames(const TJob& job) {
  std::vector<std::string> names;
  for (const TJobLine& line : job.lines) {
    if (!line.plan.file.empty()) names.push_back(line.plan.file);
  }
  return names;
}

TJobFiles CheckJobFiles(const std::string& folder, const std::string& script,
                        const std::vector<std::string>& used, const TTrustedKeys& trusted) {
  TJobFiles result;
  auto refuse = [&](std::string problem, std::string detail) {
    if (!result.problem.empty()) return;
    result.problem = std::move(problem);
    result.detail = std::move(detail);
  };
  const bool signedOnly = !trusted.keys.empty() || !trusted.problem.empty();
  result.signer = "unsigned";
  if (!trusted.problem.empty()) {
    result.checked = true;
    refuse(kNotTrusted, trusted.problem);
    return result;
  }

  const std::string manifestPath = InFolder(folder, kManifestName);
  const std::string signaturePath = InFolder(folder, kSignatureName);
  std::string manifestText;
  const ReadResult manifestRead = ReadCapped(manifestPath, kMaxManifestBytes, manifestText);
  std::string signatureText;
  const ReadResult signatureRead = ReadCapped(signaturePath, kMaxSignatureBytes, signatureText);
  if (!signedOnly && manifestRead == ReadResult::kMissing) return result;
  result.checked = true;

  if (signedOnly) {
    if (signatureRead == ReadResult::kMissing) {
      refuse(kNotTrusted, "the job has no " + signaturePath);
      return result;
    }
    TSignature signature;
    std::string problem = ReadProblem(signatureRead, signaturePath, kMaxSignatureBytes);
    if (problem.empty()) {
      if (problem = ParseSignature(signatureText, signature); !problem.empty())
        problem = signaturePath + ": " + problem;
    }
    if (!problem.empty()) {
      refuse(kSignatureNotValid, problem);
      return result;
    }
    const auto key = std::find_if(trusted.keys.begin(), trusted.keys.end(),
                                  [&](const TPublicKey& k) { return k.id == signature.keyId; });
    result.signer = "key " + KeyIdText(signature.keyId) + " (" + signature.trustedComment + ")";
    if (key == trusted.keys.end()) {
      std::string ids;
      for (const TPublicKey& k : trusted.keys)
        ids += (ids.empty() ? "" : ", ") + KeyIdText(k.id);
      refuse(kNotTrusted, "signed by key " + KeyIdText(signature.keyId) + "; trusted: " + ids);
      return result;
    }
    if (manifestRead != ReadResult::kOk) {
      refuse(kManifestNotValid, ReadProblem(manifestRead, manifestPath, kMaxManifestBytes));
      return result;
    }
    if (problem = VerifySignature(signature, *key, manifestText); !problem.empty()) {
      refuse(kSignatureNotValid, problem);
      return result;
    }
  } else if (signatureRead != ReadResult::kMissing) {
    result.signer = std::string("unsigned (") + kSignatureNotVerified + ")";
    result.note = kSignatureNotVerified;
  }

  TManifest manifest;
  std::string problem = ReadProblem(manifestRead, manifestPath, kMaxManifestBytes);
  if (problem.empty() &&
      !(problem = ParseManifest(manifestText, kNamesIgnoreCase, manifest)).empty())
    problem = manifestPath + ": " + problem;
  if (!problem.empty()) {
    refuse(kManifestNotValid, problem);
    return result;
  }

  // The script is part of the job: it must lie in the folder the manifest
  // speaks for, or the manifest cannot cover it.
  std::vector<std::string> names;
  const fs::path scriptPath(script);
  const std::string jobFolder = folder.empty() ? "." : folder;
  if (SameFolder(platform::FolderOf(script), jobFolder)) {
    names.push_back(scriptPath.filename().string());
  } else {
    const std::string name = scriptPath.filename().string();
    result.files.push_back({name, TFileState::NotListed, "the script lies outside " + jobFolder});
    refuse(name + kNotListed, script + " lies outside the job's folder " + jobFolder);
  }
  // Keyed as the file system compares names, so that a manifest of thousands
  // of names is looked up in a moment.
  auto key = [](std::string name) {
    if (kNamesIgnoreCase) std::transform(name.begin(), name.end(), name.begin(), Lower);
    return name;
  };
  std::set<std::string> taken;
  for (const std::string& name : names)
    taken.insert(key(name));
  for (std::string name : used) {
    if (kNamesIgnoreCase) std::replace(name.begin(), name.end(), '\\', '/');
    std::string normal;
    if (!NameProblem(name, normal).empty()) normal = name;
    if (taken.insert(key(normal)).second) names.push_back(normal);
  }
  // Without a signature the manifest still speaks for every file it lists.
  if (!signedOnly) {
    for (const TManifestEntry& entry : manifest.entries) {
      if (taken.insert(key(entry.name)).second) names.push_back(entry.name);
    }
  }
  std::map<std::string, const TManifestEntry*> listed;
  for (const TManifestEntry& entry : manifest.entries)
    listed.emplace(key(entry.name), &entry);

  for (const std::string& name : names) {
    const auto at = listed.find(key(name));
    if (at == listed.end()) {
      result.files.push_back({name, TFileState::NotListed, ""});
      refuse(name + kNotListed, manifestPath + " does not list " + name);
      continue;
    }
    const TManifestEntry* entry = at->second;
    const std::string where =
        kManifestName + std::string(" line ") + std::to_string(entry->line) + ": " + entry->text;
    TSha256 found{};
    if (const std::string why = Sha256OfFile(InFolder(folder, entry->name), found); !why.empty()) {
      result.files.push_back({name, TFileState::Changed, "cannot be read: " + why});
      refuse(name + kNoMatch,
             InFolder(folder, entry->name) + " cannot be read (" + why + "); " + where);
    } else if (found != entry->hash) {
      const std::string detail =
          "expected " + Sha256Text(entry->hash) + ", found " + Sha256Text(found);
      result.files.push_back({name, TFileState::Changed, detail});
      refuse(name + kNoMatch, detail + "; " + where);
    } else {
      result.files.push_back({name, TFileState::Matching, ""});
    }
  }
  return result;
}
