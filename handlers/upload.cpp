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
