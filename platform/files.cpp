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

bool TextLineReader::Open(const std::string& path) {
  Close();
  if (!FileExists(path)) return false;
  file_.reset(std::fopen(path.c_str(), "rb"));
  return file_ != nullptr;
}

void TextLineReader::Close() {
  file_.reset();
  failed_ = false;
}

bool TextLineReader::Next(std::string& line) {
  line.clear();
  if (!file_) return false;
  std::FILE* f = file_.get();
  int c = std::fgetc(f);
  if (c == EOF) {
    failed_ = std::ferror(f) != 0;
    return false;
  }
  while (c != EOF && c != '\n' && c != '\r') {
    line.push_back(static_cast<char>(c));
    c = std::fgetc(f);
  }
  if (c == '\r') {
    const int next = std::fgetc(f);
    if (next != '\n' && next != EOF) std::ungetc(next, f);
  }
  if (c == EOF && std::ferror(f) != 0) {
    failed_ = true;
    return false;
  }
  return true;
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
