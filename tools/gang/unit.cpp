#include "tools/gang/unit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/StopText.h"

Unit::~Unit() {
  // Make sure no updater outlives the gang, whatever ended it.
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

void Unit::Start(const std::vector<std::string>& argv) {
  start_ = Clock::now();
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    startError_ = std::string("cannot make a pipe: ") + std::strerror(errno);
    reaped_ = true;
    return;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    startError_ = std::string("cannot make a pipe: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    reaped_ = true;
    return;
  }
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A gang that is killed outright must still free every port: each
    // updater then stops as for Ctrl-C.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    // The gang blocks the signals it takes through its signalfd; the
    // updater must receive them as usual.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    // A closed terminal is no reason to leave a unit half updated; the
    // updater holds to that itself, and the gang does not rely on it.
    ::signal(SIGHUP, SIG_IGN);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(args[0], args.data());
    const std::string why = "cannot start " + argv[0] + ": " + std::strerror(errno) + "\n";
    // Nothing can be done about a failed write in a child that is ending.
    (void)!::write(2, why.data(), why.size());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    startError_ = std::string("cannot start the updater: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(err[0]);
    reaped_ = true;
    return;
  }
  pid_ = pid;
  outFd_ = out[0];
  errFd_ = err[0];
  // The gang reads whatever is there and goes back to poll.
  ::fcntl(outFd_, F_SETFL, ::fcntl(outFd_, F_GETFL) | O_NONBLOCK);
  ::fcntl(errFd_, F_SETFL, ::fcntl(errFd_, F_GETFL) | O_NONBLOCK);
}

void Unit::Interrupt() {
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGINT);
}

bool Unit::Reap() {
  if (reaped_) return true;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return false;
  reaped_ = true;
  end_ = Clock::now();
  if (WIFEXITED(status)) exitStatus_ = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) exitStatus_ = 128 + WTERMSIG(status);
  return true;
}

bool Unit::ReadSome(int& fd, std::string& buffer) {
  char buf[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got > 0) {
      buffer.append(buf, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return true;
    ::close(fd);
    fd = -1;
    return false;
  }
}

void Unit::Read(int fd, const std::function<void(Change)>& changed) {
  if (fd == outFd_) {
    const bool open = ReadSome(outFd_, out_);
    std::size_t start = 0;
    for (std::size_t end; (end = out_.find('\n', start)) != std::string::npos; start = end + 1) {
      const Change c = Apply(out_.substr(start, end - start));
      if (c != Change::kNone) changed(c);
    }
    out_.erase(0, start);
    if (out_.size() > kLongestLine) out_.clear();  // not a line of ours
    // A last line without its end still counts once the pipe is gone.
    if (!open && !out_.empty()) {
      const Change c = Apply(out_);
      out_.clear();
      if (c != Change::kNone) changed(c);
    }
  } else if (fd == errFd_) {
    ReadSome(errFd_, err_);
    std::size_t start = 0;
    for (std::size_t end; (end = err_.find('\n', start)) != std::string::npos; start = end + 1) {
      if (end == start) continue;
      lastErrLine_ = err_.substr(start, end - start);
      if (firstErrLine_.empty()) firstErrLine_ = lastErrLine_;
    }
    err_.erase(0, start);
    if (err_.size() > kLongestLine) err_.clear();
    if (errFd_ < 0 && !err_.empty()) {
      lastErrLine_ = err_;
      if (firstErrLine_.empty()) firstErrLine_ = lastErrLine_;
      err_.clear();
    }
  }
}

Unit::Change Unit::Apply(const std::string& line) {
  EventLine e;
  if (!ParseEventLine(line, e)) return Change::kNone;
  const std::string event = e.Text("event");
  if (event == "identity") {
    identity_ = e.Text("deviceId");
    message_.clear();  // the unit answered: the port is open
    return Change::kIdentified;
  }
  if (event == "instruction") {
    instruction_ = e.Text("text");
    return Change::kInstruction;
  }
  if (event == "instructionEnd") {
    resends_ += e.Number("resends");
    return Change::kNone;
  }
  if (event == "progress") {
    position_ = static_cast<int>(e.Number("position"));
    max_ = static_cast<int>(e.Number("max"));
    return Change::kProgress;
  }
  if (event == "message") {
    if (e.Text("text") == message_) return Change::kNone;
    message_ = e.Text("text");
    return Change::kMessage;
  }
  if (event == "end") {
    ended_ = true;
    result_ = e.Text("result");
    error_ = e.Text("error");
    resends_ = e.Number("resends", resends_);
    unitChanged_ = e.Number("unitChanged") != 0;
    stopInstruction_ = e.Text("stopInstruction");
    stopPosition_ = e.Text("stopPosition");
    return Change::kNone;
  }
  return Change::kNone;
}

std::string Unit::Result() const {
  if (!startError_.empty()) return "failed";
  if (ended_ && (result_ == "completed" || result_ == "error" || result_ == "stopped")) {
    // A run that completed but whose report could not be written did not.
    if (result_ == "completed" && exitStatus_ != 0) return "error";
    return result_;
  }
  return "failed";
}

std::string Unit::ErrorText() const {
  if (!startError_.empty()) return startError_;
  // A unit left half updated must not pass for one merely stopped.
  if (ended_ && result_ == "stopped") {
    // A port that never opened says why before the verdict.
    const std::string verdict = StopVerdict(unitChanged_, stopInstruction_);
    return message_.empty() ? verdict : message_ + "; " + verdict;
  }
  if (ended_ && !error_.empty()) return error_;
  if (ended_ && result_ == "completed" && exitStatus_ != 0) return lastErrLine_;
  if (ended_ && result_ != "completed") return message_;  // why the run never began
  if (!firstErrLine_.empty()) return firstErrLine_;
  if (exitStatus_ > 128) return "updater killed by signal " + std::to_string(exitStatus_ - 128);
  return "updater ended with status " + std::to_string(exitStatus_);
}
