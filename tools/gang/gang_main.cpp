// qsr470-gang: several units at once. The link state is one per process, so
// each unit gets a qsr470-update of its own with --progress json; the gang
// only starts them, watches their pipes, shows their progress and sums up.
// It exits 0 when every unit completed, 1 otherwise, 130 after Ctrl-C and 2
// on bad usage.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/gang/options.h"
#include "tools/gang/unit.h"
#include "tools/gang/view.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

bool Executable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0 && !fs::is_directory(path);
}

// --updater, then $QSR470_UPDATER, then beside this program: installed, both
// sit in one folder; in the build tree the updater is in ../cli.
std::string FindUpdater(const GangOptions& options) {
  if (options.updater) return *options.updater;
  if (const char* set = std::getenv("QSR470_UPDATER"); set != nullptr && *set != '\0') return set;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  for (const fs::path& candidate : {self.parent_path() / "qsr470-update",
                                    self.parent_path() / ".." / "cli" / "qsr470-update"}) {
    if (Executable(candidate.string())) return candidate.lexically_normal().string();
  }
  return {};
}

// --check: the job is the same for every unit, so it is checked once.
int CheckOnce(const std::string& updater, const GangOptions& options) {
  std::vector<std::string> argv = {updater, "--check"};
  for (std::size_t i = 0; i + 1 < options.shared.size(); i += 2) {
    if (options.shared[i] == "--timeout") continue;  // no unit, nothing to time out
    argv.push_back(options.shared[i]);
    argv.push_back(options.shared[i + 1]);
  }
  if (options.script) argv.push_back(*options.script);
  std::vector<char*> args;
  for (auto& a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(args[0], args.data());
    std::fprintf(stderr, "qsr470-gang: cannot start %s: %s\n", args[0], std::strerror(errno));
    ::_exit(kExitUsage);
  }
  if (pid < 0) {
    std::fprintf(stderr, "qsr470-gang: cannot start %s: %s\n", args[0], std::strerror(errno));
    return kExitFailed;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return kExitFailed;
}

// Ctrl-C, a request to end and the children's ends all come through one
// descriptor that poll watches with the pipes: no handler, no spinning.
int SignalDescriptor() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGCHLD);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The gang's own record, made as summary.json.tmp before any unit starts so
// that a folder that cannot be written is found while no unit is touched,
// and renamed once the record is in it.
class SummaryFile {
 public:
  bool Prepare(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      std::fprintf(stderr, "qsr470-gang: cannot make the folder %s: %s\n", dir.c_str(),
                   ec.message().c_str());
      return false;
    }
    path_ = dir / "summary.json";
    tmp_ = dir / "summary.json.tmp";
    if (!platform::WriteNewFile(tmp_, {})) {  // empty: nothing to lose
      std::fprintf(stderr, "qsr470-gang: cannot write the report %s: %s\n", tmp_.c_str(),
                   std::strerror(errno));
      tmp_.clear();
      return false;
    }
    return true;
  }
  // Failing is said on stderr; the units are what they are whatever became
  // of the record, so the exit status stands.
  void Commit(const std::string& json) {
    if (tmp_.empty()) return;
    std::error_code ec;
    // Made anew: what stands at the temporary name now may not be ours.
    const bool written = platform::WriteNewFile(tmp_, json);
    const std::string why = written ? std::string() : std::strerror(errno);
    if (written) fs::rename(tmp_, path_, ec);
    if (!written || ec) {
      std::fprintf(stderr, "qsr470-gang: cannot write the report %s: %s\n", path_.c_str(),
                   written ? ec.message().c_str() : why.c_str());
      fs::remove(tmp_, ec);
    }
    tmp_.clear();
  }
  ~SummaryFile() {
    std::error_code ec;
    if (!tmp_.empty()) fs::remove(tmp_, ec);  // a leftover is harmless
  }

 private:
  fs::path path_;
  fs::path tmp_;
};

int Run(const GangOptions& options, const std::string& updater) {
  std::vector<std::string> reports;
  SummaryFile summary;
  if (options.reportDir && !summary.Prepare(*options.reportDir)) return kExitUsage;
  const int signals = SignalDescriptor();
  if (signals < 0) {
    std::fprintf(stderr, "qsr470-gang: cannot watch signals: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  // A reader of our output that goes away, or a terminal that closes (a
  // dropped SSH connection), must not end the gang or its units: a half
  // updated unit is the worst outcome there is.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);

  std::vector<std::unique_ptr<Unit>> units;
  for (const auto& u : options.units)
    units.push_back(std::make_unique<Unit>(UnitName(u), u.device));
  View view(units, stderr, ::isatty(STDERR_FILENO) == 1);

  const auto started = Clock::now();
  std::vector<bool> told(units.size(), false);  // whose end the view has shown
  for (std::size_t i = 0; i < units.size(); ++i) {
    const GangOptions::Unit& given = options.units[i];
    std::vector<std::string> argv = {updater, "--progress", "json"};
    if (given.port > 0) {
      argv.insert(argv.end(), {"--port", std::to_string(given.port)});
    } else {
      argv.insert(argv.end(), {"--device", given.device});
    }
    argv.insert(argv.end(), options.shared.begin(), options.shared.end());
    if (options.reportDir) {
      reports.push_back((fs::path(*options.reportDir) / (units[i]->Name() + ".json")).string());
      argv.insert(argv.end(), {"--report", reports.back()});
    }
    if (options.script) argv.push_back(*options.script);
    units[i]->Start(argv);
    if (units[i]->Finished()) {
      told[i] = true;
      view.Finished(*units[i]);
    }
  }

  bool interrupted = false;
  auto running = [&] {
    for (const auto& u : units) {
      if (!u->Finished()) return true;
    }
    return false;
  };
  while (running()) {
    std::vector<pollfd> fds = {{signals, POLLIN, 0}};
    std::vector<Unit*> owners = {nullptr};
    for (const auto& u : units) {
      for (const int fd : {u->OutFd(), u->ErrFd()}) {
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(u.get());
      }
    }
    const int ready = ::poll(fds.data(), fds.size(), view.NextTimeoutMs());
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "qsr470-gang: poll: %s\n", std::strerror(errno));
      for (const auto& u : units)
        u->Interrupt();
      interrupted = true;
    }
    if (ready > 0 && fds[0].revents != 0) {
      signalfd_siginfo info{};
      while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM) {
          interrupted = true;
          for (const auto& u : units)
            u->Interrupt();
        }
      }
    }
    for (std::size_t k = 1; ready > 0 && k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Unit& u = *owners[k];
      u.Read(fds[k].fd, [&](Unit::Change c) { view.Changed(u, c); });
    }
    // SIGCHLD may stand for several ends, so every child is asked. A unit
    // is finished once reaped and its pipes drained, in either order, so
    // its end is said whichever came last.
    for (std::size_t i = 0; i < units.size(); ++i) {
      units[i]->Reap();
      if (!told[i] && units[i]->Finished()) {
        told[i] = true;
        view.Finished(*units[i]);
      }
    }
    view.Tick();
  }
  view.Close();
  ::close(signals);

  bool all = true;
  for (const auto& u : units)
    all = all && u->Completed();
  const int exitStatus = interrupted ? kExitInterrupted : all ? kExitCompleted : kExitFailed;
  std::fputs(SummaryTable(units).c_str(), stdout);
  std::fflush(stdout);
  if (options.reportDir) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    const std::string result = interrupted ? "stopped" : all ? "completed" : "failed";
    summary.Commit(SummaryJson(units, reports, result, exitStatus, ms));
  }
  return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = ParseGangOptions(args, error);
  if (!options) {
    std::cerr << "qsr470-gang: " << error << "\n" << kGangUsage;
    return kExitUsage;
  }
  if (options->help) {
    std::cout << kGangUsage;
    return 0;
  }
  if (options->version) {
    std::cout << "qsr470-gang " << QSR470_VERSION_STRING << "\n";
    return 0;
  }
  if (const std::string bad = CheckUnitDevices(*options); !bad.empty()) {
    std::cerr << "qsr470-gang: " << bad << "; nothing was started\n";
    return kExitUsage;
  }
  if (const std::string twice = CheckUnitsDistinct(*options); !twice.empty()) {
    std::cerr << "qsr470-gang: " << twice << "; nothing was started\n";
    return kExitUsage;
  }
  const std::string updater = FindUpdater(*options);
  if (!Executable(updater)) {
    std::cerr << "qsr470-gang: cannot find qsr470-update"
              << (updater.empty() ? std::string() : " at " + updater)
              << "; name it with --updater or QSR470_UPDATER\n";
    return kExitUsage;
  }
  if (options->check) return CheckOnce(updater, *options);
  return Run(*options, updater);
}
