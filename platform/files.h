#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
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

// Whether this system's file names match without regard to case.
bool FileNamesIgnoreCase();

// Where an administrator installs the public keys of trusted job signers:
// beside the program on Windows (inside Program Files, writable by
// administrators only), /etc/qsr470-updater/keys elsewhere.
std::string InstalledKeysFolder();

// The calendar time in UTC: the C library's thread-safe call has a different
// name on each system.
std::tm UtcCalendarTime(std::time_t time);

bool FileExists(const std::string& path);

// Why `path` cannot be read as a file although something is there: "a
// directory", "a FIFO", "a device" or "a socket". Empty for a regular file
// and for a path where nothing is. Files are only ever opened once they are
// regular, so a FIFO cannot hang a run and /dev/zero cannot fill memory.
std::string NotAFileReason(const std::string& path);

// For a serial device named by the user: why what is at `path` can never be
// a serial port ("a regular file", "a directory", "not a terminal", ...).
// Empty when it is a terminal, when nothing is there yet (an adapter may be
// plugged in later), or when this platform cannot tell.
std::string NotASerialPortReason(const std::string& path);

// Writes `bytes` as the file `path`, made anew. Whatever stale file is there
// is removed first (a link goes, never the file it points to) and the file is
// then created exclusively, so a link planted in its place is never written
// through. False, with errno set, when it cannot be done; a part written is
// then removed.
bool WriteNewFile(const std::string& path, std::string_view bytes);
// The platform's part of WriteNewFile: opens `path` for binary writing only
// if no file is there yet. Null, with errno set, otherwise.
std::FILE* CreateNewFile(const std::string& path);

// Whether both paths name one file that exists. Where the system cannot tell
// (the Windows runtime fails on some paths), the paths' canonical forms decide.
bool SameFile(const std::string& a, const std::string& b);

// The size in bytes of a regular file, or -1 when there is none.
std::int64_t FileSize(const std::string& path);

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
// The bytes that run are the bytes that were checked: while a run holds its
// job's files, the first read of a file takes it whole into memory, and every
// later read of the same path (the job check, the manifest's hash, the
// handlers during the run) is served from there, never from the disk again.
// Holding starts afresh (nothing held) and ends by releasing everything. A
// file larger than any job may hold is not taken: the checks refuse it
// without reading it. Used by the main thread alone.
void HoldJobFiles(bool hold);
// The held bytes of `path`, read now if this is its first read; nothing when
// no run holds files, or when the file cannot be held. Paths that name one
// file as the system resolves names ("./a.hex" and "a.hex"; on Windows also
// "A.HEX") share one held copy.
std::shared_ptr<const std::string> HeldFileBytes(const std::string& path);
// The whole of a job's file, in `bytes`: the held copy while a run holds
// files, else read now. Only a regular file no larger than a job may hold is
// read, so that a FIFO cannot block and /dev/zero cannot run for ever; for
// anything else, the reason it cannot be read ("missing", "a FIFO", "a
// device", "larger than any job file may be", ...), with `bytes` empty.
std::string JobFileBytes(const std::string& path, std::shared_ptr<const std::string>& bytes);

class TextLineReader {
 public:
  TextLineReader() = default;
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return file_ != nullptr || held_ != nullptr; }

  // Returns true with the next line, false at the end of the file or on a
  // read error; Failed() tells the two apart.
  // A line longer than `limit` is returned with its first limit + 1 bytes
  // only, the rest left unread: the caller refuses it without holding it.
  bool Next(std::string& line, std::size_t limit = SIZE_MAX);
  bool Failed() const { return failed_; }

 private:
  struct Closer {
    void operator()(std::FILE* f) const;
  };
  // Refills the buffer; false at the end of the file or on a read error.
  bool Fill();

  static constexpr std::size_t kBufferBytes = 64 * 1024;
  std::unique_ptr<std::FILE, Closer> file_;
  std::shared_ptr<const std::string> held_;  // instead of the file, while files are held
  std::size_t heldAt_ = 0;
  bool failed_ = false;
  std::vector<char> buffer_;
  std::size_t at_ = 0;   // next unread byte of the buffer
  std::size_t end_ = 0;  // bytes the buffer holds
};

}  // namespace platform
