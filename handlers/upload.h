#pragma once

// File upload and verification, the framing the boot and keyboard handlers
// share: the image file's lines are sent as they stand, each with CR LF, one
// line in flight at a time; "." acknowledges it, "R" asks for it again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TLineUpload {
 public:
  // Loads the file's lines; false when the file cannot be read.
  bool Load(const std::string& path);
  void Clear();

  bool Empty() const { return lines_.empty(); }
  std::size_t Count() const { return lines_.size(); }
  const std::vector<std::string>& Lines() const { return lines_; }

  // The next line to send, which then counts as the one in flight.
  void Restart() { next_ = 0; }
  bool Remains() const { return next_ < lines_.size(); }
  const std::string& TakeNext() { return lines_[next_++]; }
  // The line in flight; only valid once a line was taken.
  const std::string& InFlight() const { return lines_[next_ - 1]; }

 private:
  std::vector<std::string> lines_;
  std::size_t next_ = 0;
};

// Bytes an upload moves both ways: each line with CR LF and its ".", then the
// verification record with CR LF and its ".".
std::uint64_t UploadBytes(const TLineUpload& upload);

// What one step of an upload found at the front of the received text.
enum class TUploadReply {
  None,      // nothing the upload tests: keep waiting
  Sent,      // a line was acknowledged and the next one sent, or one sent again
  Finished,  // the last line was acknowledged
  Refused,   // "X", left in place for the handler, whose message and order differ
};
