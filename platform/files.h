#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The folder the running program was started from, ending with a separator,
// so that callers can append a file name directly.
std::string ProgramFolder();

// The separator ProgramFolder() ends with on this platform.
char PathSeparator();

// The current folder, ending with a separator ("" when the system cannot
// say, so a name appended to it is still looked up there).
std::string CurrentFolder();

// `path` as the current folder makes it: a relative path is resolved against
// the current folder now; an absolute one comes back as it is.
std::string AbsolutePath(const std::string& path);

// The folder that holds `path`, ending with a separator: what comes before
// the last separator (either kind on Windows), or the current folder for a
// bare name.
std::string FolderOf(const std::string& path);

// The calendar time in UTC: the C library's thread-safe call has a different
// name on each system.
std::tm UtcCalendarTime(std::time_t time);

bool FileExists(const std::string& path);

enum class ReadStatus {
  kOk,
  kCannotOpen,  // missing, a folder, or no permission
  kReadError,   // opened, but reading failed part way
};

// Splits a text file into lines: CR LF, a lone LF and a lone CR each end a
// line; a last line without an end still counts; an empty file has no lines.
// Bytes are kept as they are (text is single-byte throughout).
ReadStatus ReadTextLines(const std::string& path, std::vector<std::string>& lines);

// Reads a text file one line at a time with the same line ends as
// ReadTextLines, holding nothing but the current line.
class TextLineReader {
 public:
  TextLineReader() = default;
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

  // Returns true with the next line, false at the end of the file or on a
  // read error; Failed() tells the two apart.
  bool Next(std::string& line);
  bool Failed() const { return failed_; }

 private:
  struct Closer {
    void operator()(std::FILE* f) const;
  };
  std::unique_ptr<std::FILE, Closer> file_;
  bool failed_ = false;
};

}  // namespace platform
