#include "sim_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace simtest {

using Clock = std::chrono::steady_clock;

SimProcess::~SimProcess() {
  Terminate();
  if (stdout_fd_ >= 0) (void)close(stdout_fd_);  // the child is gone; nothing to report
}

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds wait) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return false;
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  stdout_fd_ = pipe_fds[0];
  const auto deadline = Clock::now() + wait;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fd{stdout_fd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char c = 0;
    if (read(stdout_fd_, &c, 1) != 1) return false;
    line += c;
  }
  line.pop_back();
  slave_path_ = line;
  return !slave_path_.empty();
}

std::optional<int> SimProcess::Wait(std::chrono::milliseconds wait) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + wait;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    // No child-exit descriptor to wait on portably; a short sleep between
    // looks keeps this from spinning.
    usleep(5000);
  }
}

void SimProcess::Terminate() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!Wait(std::chrono::milliseconds(5000))) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::milliseconds(5000));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace simtest
