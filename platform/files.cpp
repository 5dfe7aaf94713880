#include "platform/files.h"

#include <sys/stat.h>

#include <filesystem>

namespace platform {

void TextLineReader::Closer::operator()(std::FILE* f) const {
  // Nothing was written, so a failing fclose loses nothing.
  std::fclose(f);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

std::int64_t FileSize(const std::string& path) {
  // std::filesystem keeps the size 64-bit where the C library's stat is not.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return -1;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<std::int64_t>(size);
}

bool TextLineReader::Open(const std::string& path) {
  Close();
  if (!FileExists(path)) return false;
  file_.reset(std::fopen(path.c_str(), "rb"));
  return file_ != nullptr;
}

void TextLineReader::Close() {
  file_.reset();
  failed_ = false;
  at_ = 0;
  end_ = 0;
}

bool TextLineReader::Fill() {
  at_ = 0;
  end_ = 0;
  if (!file_ || failed_) return false;
  buffer_.resize(kBufferBytes);
  end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_.get());
  if (end_ == 0) failed_ = std::ferror(file_.get()) != 0;
  return end_ > 0;
}

bool TextLineReader::Next(std::string& line, std::size_t limit) {
  line.clear();
  if (!file_) return false;
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
