#include "platform/files.h"

#include <sys/stat.h>

namespace platform {

void TextLineReader::Closer::operator()(std::FILE* f) const {
  // Nothing was written, so a failing fclose loses nothing.
  std::fclose(f);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
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

bool TextLineReader::Next(std::string& line, std::size_t limit) {
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
    if (line.size() > limit) return true;
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
