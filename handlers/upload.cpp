#include "handlers/upload.h"

#include "platform/files.h"

bool TLineUpload::Load(const std::string& path) {
  next_ = 0;
  return platform::ReadTextLines(path, lines_) == platform::ReadStatus::kOk;
}

void TLineUpload::Clear() {
  lines_.clear();
  next_ = 0;
}

std::uint64_t UploadBytes(const TLineUpload& upload) {
  constexpr std::uint64_t kChecksumRecordLength = 15;
  std::uint64_t bytes = kChecksumRecordLength + 3;
  for (const std::string& line : upload.Lines())
    bytes += line.size() + 3;
  return bytes;
}
