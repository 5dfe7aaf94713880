#include "platform/files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <utility>

namespace platform {

void TextLineReader::Closer::operator()(std::FILE* f) const {
  // Nothing was written, so a failing fclose loses nothing.
  std::fclose(f);
}

namespace {

bool RegularFileOnDisk(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The largest file a job may hold (an Effect file's limit) with room for the
// byte that shows it is too large.
constexpr std::uintmax_t kMaxHeldBytes = (64u << 20) + 1;

struct HeldFiles {
  bool holding = false;
  std::map<std::string, std::shared_ptr<const std::string>> bytes;
};

HeldFiles& Held() {
  static HeldFiles held;
  return held;
}

// The key a file is held under. Paths are compared as the system resolves
// them, or one file would be read twice under two names and its hash taken
// of other bytes than those played.
std::string HeldKey(const std::string& path) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(path, ec);
  if (ec) full = path;
  std::string key = full.lexically_normal().string();
  if (FileNamesIgnoreCase()) {
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
  }
  return key;
}

std::shared_ptr<const std::string> AlreadyHeld(const std::string& path) {
  const HeldFiles& held = Held();
  if (!held.holding) return nullptr;
  const auto it = held.bytes.find(HeldKey(path));
  return it == held.bytes.end() ? nullptr : it->second;
}

// The file whole, or the reason it is not read.
std::shared_ptr<const std::string> ReadWholeFile(const std::string& path, std::string& why) {
  if (!RegularFileOnDisk(path)) {
    why = NotAFileReason(path);
    std::error_code ec;
    if (why.empty()) why = std::filesystem::exists(path, ec) ? "not a regular file" : "missing";
    return nullptr;
  }
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    why = "its size cannot be read";
    return nullptr;
  }
  if (size > kMaxHeldBytes) {
    why = "larger than any job file may be";
    return nullptr;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) {
    why = "it cannot be opened";
    return nullptr;
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  // A file that changes while it is read is taken as read: what is held is
  // what every later reader sees, and the manifest's hash is of these bytes.
  if (std::ferror(file.get()) != 0) {
    why = "a read error";
    return nullptr;
  }
  return std::make_shared<const std::string>(std::move(bytes));
}

}  // namespace

void HoldJobFiles(bool hold) {
  Held().holding = hold;
  Held().bytes.clear();
}

std::string JobFileBytes(const std::string& path, std::shared_ptr<const std::string>& bytes) {
  HeldFiles& held = Held();
  const std::string key = held.holding ? HeldKey(path) : std::string();
  if (held.holding) {
    if (const auto it = held.bytes.find(key); it != held.bytes.end()) {
      bytes = it->second;
      return {};
    }
  }
  std::string why;
  bytes = ReadWholeFile(path, why);
  if (bytes && held.holding) held.bytes.emplace(key, bytes);
  return why;
}

std::shared_ptr<const std::string> HeldFileBytes(const std::string& path) {
  if (!Held().holding) return nullptr;
  std::shared_ptr<const std::string> bytes;
  JobFileBytes(path, bytes);
  return bytes;
}

bool FileExists(const std::string& path) {
  return AlreadyHeld(path) != nullptr || RegularFileOnDisk(path);
}

std::string NotAFileReason(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec) return {};
  switch (st.type()) {
    case fs::file_type::directory:
      return "a directory";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block:
      return "a device";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::none:
    case fs::file_type::not_found:
    case fs::file_type::regular:
    case fs::file_type::symlink:
    case fs::file_type::unknown:
    default:
      return {};
  }
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // A folder of that name is left alone: creating the file then fails.
  if (fs::symlink_status(path, ec).type() != fs::file_type::directory) fs::remove(path, ec);
  std::FILE* const file = CreateNewFile(path);
  if (file == nullptr) return false;
  // An empty view may hold no pointer at all, which fwrite must not be given.
  bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int error = written ? 0 : errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    fs::remove(path, ec);
    errno = error;
  }
  return written;
}

bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (const bool same = fs::equivalent(a, b, ec); !ec) return same;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

std::int64_t FileSize(const std::string& path) {
  if (auto held = AlreadyHeld(path)) return static_cast<std::int64_t>(held->size());
  // std::filesystem keeps the size 64-bit where the C library's stat is not.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return -1;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<std::int64_t>(size);
}

bool TextLineReader::Open(const std::string& path) {
  Close();
  if ((held_ = HeldFileBytes(path))) return true;
  if (!FileExists(path)) return false;
  file_.reset(std::fopen(path.c_str(), "rb"));
  return file_ != nullptr;
}

void TextLineReader::Close() {
  file_.reset();
  held_.reset();
  heldAt_ = 0;
  failed_ = false;
  at_ = 0;
  end_ = 0;
}

bool TextLineReader::Fill() {
  at_ = 0;
  end_ = 0;
  if (held_) {
    const std::size_t n = std::min(kBufferBytes, held_->size() - heldAt_);
    buffer_.assign(held_->data() + heldAt_, held_->data() + heldAt_ + n);
    heldAt_ += n;
    end_ = n;
    return end_ > 0;
  }
  if (!file_ || failed_) return false;
  buffer_.resize(kBufferBytes);
  end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_.get());
  if (end_ == 0) failed_ = std::ferror(file_.get()) != 0;
  return end_ > 0;
}

bool TextLineReader::Next(std::string& line, std::size_t limit) {
  line.clear();
  if (!IsOpen()) return false;
  if (at_ == end_ && !Fill()) return false;
  for (;;) {
    const char* const begin = buffer_.data() + at_;
    const char* const stop = buffer_.data() + end_;
    const char* p = begin;
    while (p != stop && *p != '\n' && *p != '\r')
      ++p;
    line.append(begin, p);
    at_ += static_cast<std::size_t>(p - begin);
    if (line.size() > limit) {
      line.resize(limit + 1);
      return true;
    }
    if (p != stop) {
      ++at_;
      // CR LF is one line end; the LF may come with the next read.
      if (*p == '\r' && (at_ < end_ || Fill()) && buffer_[at_] == '\n') ++at_;
      return true;
    }
    if (!Fill()) return !failed_;  // a last line without an end counts
  }
}

ReadStatus ReadTextLines(const std::string& path, std::vector<std::string>& lines) {
  lines.clear();
  TextLineReader reader;
  if (!reader.Open(path)) return ReadStatus::kCannotOpen;
  std::string line;
  while (reader.Next(line))
    lines.push_back(line);
  if (reader.Failed()) {
    lines.clear();
    return ReadStatus::kReadError;
  }
  return ReadStatus::kOk;
}

}  // namespace platform
