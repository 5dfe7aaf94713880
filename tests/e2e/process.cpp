#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace e2e {

using Clock = std::chrono::steady_clock;

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool Process::Start(const std::vector<std::string>& argv, const std::string& cwd) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  pid_ = pid;
  outFd_ = out[0];
  errFd_ = err[0];
  return true;
}

bool Process::Pump(std::chrono::milliseconds timeout) {
  pollfd fds[2];
  nfds_t n = 0;
  if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
  if (n == 0) return false;
  const int ready = ::poll(fds, n, static_cast<int>(timeout.count()));
  if (ready <= 0) return ready == 0 || errno == EINTR;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    char buf[4096];
    const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
    const bool isOut = fds[i].fd == outFd_;
    if (got > 0) {
      (isOut ? out_ : err_).append(buf, static_cast<std::size_t>(got));
    } else {
      ::close(fds[i].fd);
      (isOut ? outFd_ : errFd_) = -1;
    }
  }
  return true;
}

bool Process::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto end = out_.find('\n', lineStart_);
    if (end != std::string::npos) {
      line = out_.substr(lineStart_, end - lineStart_);
      lineStart_ = end + 1;
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !Pump(left)) return false;
  }
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                            bool onStderr) {
  const std::string& seen = onStderr ? err_ : out_;
  return WaitFor([&] { return seen.find(text) != std::string::npos; }, timeout);
}

bool Process::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !Pump(left)) return done();
  }
  return true;
}

void Process::Reap(int status, const struct rusage& usage) {
  pid_ = -1;
  cpuSeconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) exitCode_ = 128 + WTERMSIG(status);
}

int Process::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  // Output first: a child blocked on a full pipe would never end.
  while (outFd_ >= 0 || errFd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return -1;
    Pump(left);
  }
  while (pid_ > 0) {
    int status = 0;
    struct rusage usage {};
    const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) {
      Reap(status, usage);
      break;
    }
    if (Clock::now() >= deadline) return -1;
    // The pipes are closed, so the child is about to end; a blocking wait
    // with the deadline has no portable form, so poll gently.
    ::poll(nullptr, 0, 5);
  }
  return exitCode_;
}

void Process::CloseOut() {
  if (outFd_ >= 0) ::close(outFd_);
  outFd_ = -1;
}

void Process::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

}  // namespace e2e
