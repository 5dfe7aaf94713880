#pragma once

// Starts qsr470-unitsim as a child process and reads the terminal path it
// prints first, the way an end-to-end test or a script starts it.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts the program and waits (up to the deadline) for its first line.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             std::chrono::milliseconds wait = std::chrono::milliseconds(10000));
  const std::string& slave_path() const { return slave_path_; }
  pid_t pid() const { return pid_; }

  // The exit status once the program has ended within the wait.
  std::optional<int> Wait(std::chrono::milliseconds wait = std::chrono::milliseconds(10000));
  void Terminate();

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  std::string slave_path_;
};

std::string ReadFile(const std::string& path);

// Runs a program to its end with its output discarded; its exit status, or -1.
int RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace simtest
