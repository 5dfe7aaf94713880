#pragma once

// Child processes for the end-to-end tests: the virtual unit and the updater
// run as the programs they are, talking over a real pseudo-terminal.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();  // kills and reaps a child still running

  // Starts argv[0] with its output on pipes (stdin from /dev/null), in `cwd`
  // when it is not empty.
  bool Start(const std::vector<std::string>& argv, const std::string& cwd = "");

  // Reads stdout until a whole line is there or the deadline passes.
  bool ReadLine(std::string& line, std::chrono::milliseconds timeout);
  // Waits for the end; collects all output. Returns the exit code, 128 + n
  // for signal n, or -1 when the deadline passed first.
  int Wait(std::chrono::milliseconds timeout);
  // Waits until stdout (or stderr) holds `text`, the process ends or time
  // runs out.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                     bool onStderr = false);
  // Collects output until `done` holds, the process ends or time runs out.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void Signal(int signal);
  // Stops reading stdout and closes it, as a reader such as `head` does:
  // the child's next write finds no reader.
  void CloseOut();
  bool Running() const { return pid_ > 0; }

  // User plus system CPU time of the child, known once it has been waited for.
  double CpuSeconds() const { return cpuSeconds_; }
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

 private:
  bool Pump(std::chrono::milliseconds timeout);  // false when nothing more can come
  void Reap(int status, const struct rusage& usage);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int exitCode_ = -1;
  double cpuSeconds_ = 0;
  std::string out_;
  std::string err_;
  std::size_t lineStart_ = 0;
};

}  // namespace e2e
