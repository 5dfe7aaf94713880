// qsr470-unitsim: the virtual unit on a pseudo-terminal (Linux only). The
// unit's behaviour lives in the library; this file only moves bytes between
// the terminal and the unit, in time.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "sim/options.h"
#include "sim/pacer.h"
#include "sim/timing.h"
#include "sim/unit.h"

namespace {

using sim::ProgramOptions;
using sim::Unit;

constexpr std::int64_t kNsPerMs = 1'000'000;
// Without inotify the program cannot be told that the terminal was opened
// again, so it looks every so often.
constexpr std::int64_t kReopenCheckNs = 100 * kNsPerMs;
// A USB serial adapter sends what it holds once a packet is full, without
// waiting for its latency timer: 64 bytes less its two status bytes.
constexpr std::size_t kAdapterPacket = 62;
constexpr std::int64_t kApproachNs = 60'000;

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int BaudOf(speed_t speed) {
  struct Row {
    speed_t speed;
    int baud;
  };
  static constexpr Row kSpeeds[] = {
      {B0, 0},           {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
      {B150, 150},       {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
      {B1800, 1800},     {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400},   {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
      {B921600, 921600},
  };
  for (const Row& row : kSpeeds) {
    if (row.speed == speed) return row.baud;
  }
  return 0;
}

void Warn(const std::string& text) {
  std::fprintf(stderr, "qsr470-unitsim: %s\n", text.c_str());
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  void Close() {
    // Nothing to do about a failed close of a descriptor we are done with.
    if (fd_ >= 0) (void)close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct TimedByte {
  std::int64_t due_ns;  // when it has crossed the line
  char byte;
  int baud;
  std::uint64_t chunk = 0;   // bytes of one chunk go out together
  std::int64_t read_ns = 0;  // input: when it was read from the terminal
};

class Server {
 public:
  Server(const ProgramOptions& options, Unit& unit) : options_(options), unit_(unit) {}

  bool Open();
  const std::string& slave_path() const { return slave_path_; }
  // Serves until the run or the program ends; returns how it ended.
  std::string Run();
  void CloseTerminal() { master_.Close(); }

 private:
  int LineBaud() const;
  bool SlaveHungUp() const;
  void Connect(std::int64_t now);
  bool Disconnect();  // false when the program should end
  void DeliverInput(std::int64_t now);
  // Schedules what the unit has to send; `at` is when the unit decided to
  // send it, which is when the input it answers had crossed the line, not
  // when this program got round to it.
  void ScheduleOutput(std::int64_t at);
  void WriteDue(std::int64_t now);
  std::int64_t LastOfFrontChunk() const;
  // When the next write is due: the end of the front chunk, or with an
  // adapter's hold, when that hold ends or a packet is full.
  std::int64_t NextWrite() const;
  std::size_t BytesDue(std::int64_t now) const;
  // With an adapter's hold: when the burst at the front may go.
  std::int64_t HeldUntil() const;
  bool ReadTerminal(std::int64_t now);  // false when the updater closed
  // Follows the opens and closes of the terminal; false when the program
  // should end.
  bool FollowOpens(std::int64_t now);

  const ProgramOptions& options_;
  Unit& unit_;
  FileDescriptor master_;
  FileDescriptor inotify_;
  FileDescriptor signals_;
  std::string slave_path_;

  bool connected_ = false;
  int open_files_ = 0;  // opens of the terminal not yet closed
  bool write_blocked_ = false;
  std::deque<TimedByte> inbox_;
  std::deque<TimedByte> outbox_;
  sim::LinePacer rx_pacer_;
  sim::LinePacer tx_pacer_;
  std::int64_t last_rx_ns_ = 0;
  std::int64_t next_call_ns_ = 0;
  std::int64_t out_last_ns_ = 0;
  std::uint64_t chunks_ = 0;
  sim::LineTiming timing_;

 public:
  const sim::LineTiming& timing() const { return timing_; }
};

bool Server::Open() {
  master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (master_.get() < 0 || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
    Warn(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    return false;
  }
  char name[PATH_MAX] = {};
  if (ptsname_r(master_.get(), name, sizeof name) != 0) {
    Warn(std::string("cannot name the pseudo-terminal: ") + std::strerror(errno));
    return false;
  }
  slave_path_ = name;
  // Raw from the start: with the default echo the unit's own call sign would
  // come back to it before the updater sets the terminal up. The speed is left
  // at the kernel's default, which is not the unit's: the updater must set it.
  termios settings{};
  if (tcgetattr(master_.get(), &settings) == 0) {
    cfmakeraw(&settings);
    if (tcsetattr(master_.get(), TCSANOW, &settings) != 0) Warn("cannot make the terminal raw");
  }
  inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (inotify_.get() >= 0 && inotify_add_watch(inotify_.get(), name, IN_OPEN | IN_CLOSE) < 0) {
    inotify_.Close();
  }
  if (inotify_.get() < 0) {
    Warn("no inotify: the call sign starts at once");
    connected_ = true;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  signals_.Reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (signals_.get() < 0) {
    Warn(std::string("cannot watch signals: ") + std::strerror(errno));
    return false;
  }
  return true;
}

int Server::LineBaud() const {
  termios settings{};
  if (tcgetattr(master_.get(), &settings) != 0) return 0;
  return BaudOf(cfgetospeed(&settings));
}

bool Server::SlaveHungUp() const {
  pollfd fd{master_.get(), POLLIN, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & POLLHUP) != 0;
}

void Server::Connect(std::int64_t now) {
  connected_ = true;
  next_call_ns_ = now + std::int64_t{options_.call_period_ms} * kNsPerMs;
}

bool Server::Disconnect() {
  if (!options_.forever) return false;
  // The technician starts the unit again for the next run.
  unit_.PowerOn();
  inbox_.clear();
  outbox_.clear();
  rx_pacer_.Reset();
  tx_pacer_.Reset();
  timing_.Disconnected();
  write_blocked_ = false;
  connected_ = false;
  return true;
}

void Server::DeliverInput(std::int64_t now) {
  while (!inbox_.empty() && inbox_.front().due_ns <= now) {
    std::string batch;
    const int baud = inbox_.front().baud;
    const std::int64_t first_read = inbox_.front().read_ns;
    std::int64_t crossed = inbox_.front().due_ns;
    while (!inbox_.empty() && inbox_.front().due_ns <= now && inbox_.front().baud == baud) {
      batch += inbox_.front().byte;
      crossed = inbox_.front().due_ns;
      inbox_.pop_front();
    }
    const bool was_in_transfer = unit_.InTransfer();
    unit_.Receive(batch, baud);
    if (!was_in_transfer && unit_.InTransfer()) {
      timing_.StartTransfer(unit_.transfer_command(), first_read, batch.size(),
                            static_cast<std::int64_t>(batch.size()) * sim::ByteTimeNs(baud));
    } else if (was_in_transfer && !unit_.InTransfer()) {
      timing_.EndTransferOnceWritten();
    }
    last_rx_ns_ = crossed;
    ScheduleOutput(crossed);
  }
}

void Server::ScheduleOutput(std::int64_t base) {
  for (sim::Chunk& chunk : unit_.TakeOutput()) {
    const int line_baud = LineBaud();
    const std::int64_t pause = std::int64_t{chunk.delay_ms} * kNsPerMs;
    timing_.NotePause(pause);
    std::int64_t at = std::max(base, out_last_ns_) + pause;
    for (char c : chunk.bytes) {
      if (options_.pace) at = tx_pacer_.Next(at, line_baud);
      outbox_.push_back(TimedByte{at, c, chunk.baud, chunks_});
    }
    ++chunks_;
    out_last_ns_ = at;
  }
}

std::size_t Server::BytesDue(std::int64_t now) const {
  std::size_t due = 0;
  while (due < outbox_.size() && outbox_[due].due_ns <= now)
    ++due;
  return due;
}

std::int64_t Server::NextWrite() const {
  if (options_.reply_delay_ms == 0) return LastOfFrontChunk();
  const std::int64_t held = HeldUntil();
  if (outbox_.size() < kAdapterPacket) return held;
  return std::min(held, outbox_[kAdapterPacket - 1].due_ns);
}

std::int64_t Server::HeldUntil() const {
  // The adapter's timer runs out once the line has been quiet that long;
  // bytes that cross before then join the same packet.
  const std::int64_t hold = std::int64_t{options_.reply_delay_ms} * kNsPerMs;
  std::int64_t last = outbox_.front().due_ns;
  for (const TimedByte& b : outbox_) {
    if (b.due_ns > last + hold) break;
    last = b.due_ns;
  }
  return last + hold;
}

std::int64_t Server::LastOfFrontChunk() const {
  std::int64_t due = outbox_.front().due_ns;
  for (const TimedByte& b : outbox_) {
    if (b.chunk != outbox_.front().chunk) break;
    due = b.due_ns;
  }
  return due;
}

void Server::WriteDue(std::int64_t now) {
  if (write_blocked_ || !connected_) return;
  const std::size_t due = BytesDue(now);
  if (due == 0) return;
  // An adapter holds a reply until its latency timer has run out after the
  // reply's last byte, unless a whole packet is there.
  if (options_.reply_delay_ms > 0 && now < HeldUntil() && due < kAdapterPacket) return;
  const int line_baud = LineBaud();
  std::string bytes;
  std::size_t garbled = 0;
  for (std::size_t k = 0; k < due; ++k) {
    const TimedByte& b = outbox_[k];
    // A byte sent at one speed and read at another arrives as something else.
    const bool wrong_speed = options_.unit.speed_check && b.baud != line_baud;
    bytes += wrong_speed ? Unit::Garble(b.byte) : b.byte;
    garbled += wrong_speed ? 1 : 0;
  }
  // The bytes leave when they are handed to the line: what the terminal
  // then takes to pass them on is the line's, as a cable's would be.
  const std::int64_t written_at = NowNs();
  const ssize_t written = write(master_.get(), bytes.data(), bytes.size());
  if (written < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) write_blocked_ = true;
    return;  // EIO: the updater closed; the read side notices
  }
  if (static_cast<std::size_t>(written) < bytes.size()) write_blocked_ = true;
  std::int64_t wire = 0;
  for (ssize_t k = 0; k < written; ++k)
    wire += sim::ByteTimeNs(outbox_[static_cast<std::size_t>(k)].baud);
  outbox_.erase(outbox_.begin(), outbox_.begin() + written);
  timing_.NoteOutput(written_at, static_cast<std::size_t>(written), wire, outbox_.empty());
  if (written == static_cast<ssize_t>(bytes.size())) unit_.NoteGarbledOutput(garbled);
}

bool Server::ReadTerminal(std::int64_t now) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master_.get(), buffer, sizeof buffer);
    if (n > 0) {
      const int baud = LineBaud();
      for (ssize_t k = 0; k < n; ++k) {
        const std::int64_t due = options_.pace ? rx_pacer_.Next(now, baud) : now;
        inbox_.push_back(TimedByte{due, buffer[k], baud, 0, now});
      }
      timing_.NoteInput(now, static_cast<std::size_t>(n), n * sim::ByteTimeNs(baud));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;  // EIO: every descriptor of the slave is closed
  }
}

bool Server::FollowOpens(std::int64_t now) {
  // Counting opens and closes, rather than waiting for the hang-up on the
  // master, also sees an updater that closes and opens again at once.
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(inotify_.get(), buffer, sizeof buffer);
    if (n <= 0) return true;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_OPEN) {
        if (++open_files_ == 1) Connect(now);
      } else if ((event->mask & IN_CLOSE) && open_files_ > 0) {
        if (--open_files_ == 0 && !Disconnect()) return false;
      }
    }
  }
}

std::string Server::Run() {
  const std::int64_t gap_ns = std::int64_t{options_.text_gap_ms} * kNsPerMs;
  const std::int64_t period_ns = std::int64_t{options_.call_period_ms} * kNsPerMs;
  // Deadlines a fraction of a millisecond apart are only kept when the
  // kernel does not stretch our sleeps (by 50 us by default) to batch them.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // without it: only less exact
  if (connected_) Connect(NowNs());
  for (;;) {
    std::int64_t now = NowNs();
    DeliverInput(now);
    if (unit_.WantsTextEnd() && inbox_.empty() && now - last_rx_ns_ >= gap_ns) {
      unit_.EndOfText();
      timing_.NotePause(gap_ns);
      ScheduleOutput(last_rx_ns_ + gap_ns);
    }
    if (connected_ && unit_.WantsCallSign() && now >= next_call_ns_) {
      unit_.EmitCallSign();
      ScheduleOutput(next_call_ns_);
      next_call_ns_ = std::max(next_call_ns_ + period_ns, now);
    }
    // Anything else the unit wants to say (a fault's noise) goes out now.
    ScheduleOutput(now);
    WriteDue(now);
    if (unit_.hang_up_requested() && outbox_.empty()) return "fault-hangup";

    std::int64_t wake = std::numeric_limits<std::int64_t>::max();
    // Paced bytes fall due every fraction of a millisecond. Waking once for
    // a whole burst, when its last byte has crossed the line, keeps the
    // wake-ups few and still never hands a byte over early.
    if (!inbox_.empty()) wake = std::min(wake, inbox_.back().due_ns);
    if (!outbox_.empty() && !write_blocked_) wake = std::min(wake, NextWrite());
    if (connected_ && unit_.WantsCallSign()) wake = std::min(wake, next_call_ns_);
    if (unit_.WantsTextEnd() && inbox_.empty()) wake = std::min(wake, last_rx_ns_ + gap_ns);
    if (!connected_ && inotify_.get() < 0) wake = std::min(wake, now + kReopenCheckNs);

    pollfd fds[3] = {};
    nfds_t count = 0;
    fds[count++] = pollfd{signals_.get(), POLLIN, 0};
    const nfds_t master_slot = connected_ ? count : 3;
    if (connected_) {
      fds[count++] =
          pollfd{master_.get(), static_cast<short>(POLLIN | (write_blocked_ ? POLLOUT : 0)), 0};
    }
    const nfds_t inotify_slot = count;
    if (inotify_.get() >= 0) fds[count++] = pollfd{inotify_.get(), POLLIN, 0};

    timespec timeout{};
    timespec* timeout_ptr = nullptr;
    if (wake != std::numeric_limits<std::int64_t>::max()) {
      // Measured afresh: the work since the loop began would otherwise make
      // every sleep that much too long.
      std::int64_t wait = std::max<std::int64_t>(0, wake - NowNs());
      // Waking from a long sleep takes a machine far longer than waking from
      // a short one; so a long sleep ends a little early and a short one
      // covers the rest, and the deadline is kept more closely.
      if (wait > kApproachNs) wait -= kApproachNs;
      timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000);
      timeout_ptr = &timeout;
    }
    if (ppoll(fds, count, timeout_ptr, nullptr) < 0 && errno != EINTR) {
      Warn(std::string("poll failed: ") + std::strerror(errno));
      return "error";
    }
    now = NowNs();
    if (fds[0].revents & POLLIN) return "signal";
    bool hung_up = false;
    if (master_slot < count) {
      const short revents = fds[master_slot].revents;
      if (revents & POLLOUT) write_blocked_ = false;
      if (revents & (POLLIN | POLLHUP | POLLERR)) hung_up = !ReadTerminal(now);
      hung_up = hung_up || (revents & (POLLHUP | POLLERR)) != 0;
    }
    if (inotify_.get() >= 0) {
      if ((fds[inotify_slot].revents & POLLIN) && !FollowOpens(now)) return "updater-closed";
      // The close is queued before the hang-up shows, so a terminal that is
      // still hung up now, yet counted open, means events were lost.
      if (hung_up && connected_ && SlaveHungUp()) {
        open_files_ = 0;
        if (!Disconnect()) return "updater-closed";
      }
    } else if (hung_up) {
      if (!Disconnect()) return "updater-closed";
    } else if (!connected_ && !SlaveHungUp()) {
      Connect(now);
    }
  }
}

bool MakeLink(const std::string& target, const std::string& link) {
  const std::string temporary = link + ".tmp" + std::to_string(getpid());
  // Replacing the link in one rename means a reader never finds it missing.
  (void)unlink(temporary.c_str());  // a leftover from an earlier run, if any
  if (symlink(target.c_str(), temporary.c_str()) != 0) return false;
  if (rename(temporary.c_str(), link.c_str()) != 0) {
    (void)unlink(temporary.c_str());  // the link could not be made; tidy up
    return false;
  }
  return true;
}

void RemoveLink(const std::string& target, const std::string& link) {
  char buffer[PATH_MAX] = {};
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
  // Another instance may have taken the name over since: leave its link.
  if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) {
    (void)unlink(link.c_str());  // nothing more to do if it is already gone
  }
}

bool WriteReport(const std::string& path, const std::string& json) {
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  const bool closed = std::fclose(file) == 0;
  // A reader waiting for the report sees it whole or not at all.
  return written && closed && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  ProgramOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  switch (sim::ParseCommandLine(args, options, error)) {
    case sim::ParseOutcome::kHelp:
      std::fputs(sim::UsageText().c_str(), stdout);
      return 0;
    case sim::ParseOutcome::kVersion:
      std::printf("qsr470-unitsim %s\n", QSR470_VERSION_STRING);
      return 0;
    case sim::ParseOutcome::kError:
      std::fprintf(stderr, "qsr470-unitsim: %s\nTry qsr470-unitsim --help.\n", error.c_str());
      return 2;
    case sim::ParseOutcome::kRun:
      break;
  }
  // A reader of our standard output may go away; that must not end the unit.
  signal(SIGPIPE, SIG_IGN);

  Unit unit(options.unit);
  if (options.trace) {
    unit.SetTrace([](std::string_view text) {
      std::fprintf(stderr, "unitsim: %.*s\n", static_cast<int>(text.size()), text.data());
    });
  }
  Server server(options, unit);
  if (!server.Open()) return 1;
  if (!options.link_path.empty() && !MakeLink(server.slave_path(), options.link_path)) {
    Warn("cannot link " + options.link_path + ": " + std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", server.slave_path().c_str());
  std::fflush(stdout);

  const std::string ended_by = server.Run();
  server.CloseTerminal();
  int status = ended_by == "error" ? 1 : 0;
  if (!options.report_path.empty() &&
      !WriteReport(options.report_path, unit.ReportJson(ended_by, server.timing().Json()))) {
    Warn("cannot write the report " + options.report_path);
    status = 1;
  }
  if (!options.link_path.empty()) RemoveLink(server.slave_path(), options.link_path);
  return status;
}
