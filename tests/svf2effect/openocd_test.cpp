// OpenOCD as the converter's oracle: it plays each vendor file through its
// remote_bitbang adapter into a recording TAP of ours, and the converted
// Effect file is played through the virtual unit's TAP model. What each does
// to the device must be the same: every scan (register, length, TDI bits),
// the clocks held in Run-Test/Idle and in each Pause state, every Capture and
// Update, and the final state. Different TMS paths that do the same compare
// equal. For TDO, the recording TAP answers what the Effect file expects and
// the opposite where it compares nothing; OpenOCD must then see no mismatch,
// so the Effect file checks every bit the vendor checks, against the same
// value.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/svf2effect/svf2effect.h"
#include "trace.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The TAP diagram, with the Effect record codes as indices.
enum Tap {
  kReset,
  kIdle,
  kDrSelect,
  kDrCapture,
  kDrShift,
  kDrExit1,
  kDrPause,
  kDrExit2,
  kDrUpdate,
  kIrSelect,
  kIrCapture,
  kIrShift,
  kIrExit1,
  kIrPause,
  kIrExit2,
  kIrUpdate
};
constexpr std::array<std::array<int, 2>, 16> kNext = {{
    {kIdle, kReset},
    {kIdle, kDrSelect},
    {kDrCapture, kIrSelect},
    {kDrShift, kDrExit1},
    {kDrShift, kDrExit1},
    {kDrPause, kDrUpdate},
    {kDrPause, kDrExit2},
    {kDrShift, kDrUpdate},
    {kIdle, kDrSelect},
    {kIrCapture, kReset},
    {kIrShift, kIrExit1},
    {kIrShift, kIrExit1},
    {kIrPause, kIrUpdate},
    {kIrPause, kIrExit2},
    {kIrShift, kIrUpdate},
    {kIdle, kDrSelect},
}};

bool IsShift(int s) {
  return s == kDrShift || s == kIrShift;
}

// What a player does to the device. Clocks in Test-Logic-Reset are not
// counted: players reset with TMS sequences of their own.
struct Event {
  char kind = 0;  // 'S' shift, 'H' clocks held, 'C' capture, 'U' update, 'R' reset
  int where = 0;  // the state shifted or held in; for C and U the state entered
  std::uint64_t count = 0;
  std::string tdi;     // one '0' or '1' per bit shifted, first bit first
  std::string expect;  // Effect side: '0', '1' or 'x' (not compared) per bit
  bool operator==(const Event& o) const {
    return kind == o.kind && where == o.where && count == o.count && tdi == o.tdi;
  }
  std::string Text() const {
    std::string t =
        std::string(1, kind) + " state " + std::to_string(where) + " x" + std::to_string(count);
    if (!tdi.empty()) t += " tdi " + (tdi.size() > 80 ? tdi.substr(0, 80) + "..." : tdi);
    return t;
  }
};

class Recorder {
 public:
  // count TCKs alike; tdi counts only in a shift state.
  void Clock(bool tms, bool tdi, std::uint64_t count = 1, int expect = -1) {
    clocks_ += count;
    while (count > 0) {
      const int next = kNext[state_][tms ? 1 : 0];
      if (IsShift(state_)) {
        Event& scan = events_.back();
        const std::uint64_t n = next == state_ ? count : 1;
        scan.count += n;
        scan.tdi.append(n, tdi ? '1' : '0');
        scan.expect.append(n, expect < 0 ? 'x' : static_cast<char>('0' + expect));
        count -= n;
      } else if (next == state_) {
        if (state_ != kReset) Hold(count);
        count = 0;
      } else {
        --count;
      }
      if (next != state_) Enter(next);
    }
  }

  int state() const { return state_; }
  std::uint64_t clocks() const { return clocks_; }
  const std::vector<Event>& events() const { return events_; }
  // While shifting: which scan and how many of its bits have gone.
  std::size_t scans() const { return scans_; }
  std::size_t bits_shifted() const { return IsShift(state_) ? events_.back().count : 0; }

 private:
  void Hold(std::uint64_t n) {
    if (!events_.empty() && events_.back().kind == 'H' && events_.back().where == state_) {
      events_.back().count += n;
    } else {
      events_.push_back({'H', state_, n, {}, {}});
    }
  }

  void Enter(int next) {
    state_ = next;
    if (next == kDrCapture || next == kIrCapture) events_.push_back({'C', next, 0, {}, {}});
    if (next == kDrUpdate || next == kIrUpdate) events_.push_back({'U', next, 0, {}, {}});
    if (next == kReset) events_.push_back({'R', next, 0, {}, {}});
    if (IsShift(next)) {
      events_.push_back({'S', next, 0, {}, {}});
      ++scans_;
    }
  }

  int state_ = kReset;
  std::vector<Event> events_;
  std::size_t scans_ = 0;
  std::uint64_t clocks_ = 0;
};

// The Effect file through the virtual unit's model, from its power-on state.
Recorder PlayEffect(const std::string& effect, std::string& error) {
  const svftest::Trace trace = svftest::TraceEffect(effect, error);
  Recorder recorder;
  for (const auto& run : trace.runs())
    recorder.Clock(run.tick.tms, run.tick.tdi == 1, run.count, run.tick.expect);
  return recorder;
}

std::string FirstDifference(const Recorder& want, const Recorder& got) {
  const auto& a = want.events();
  const auto& b = got.events();
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    if (i < a.size() && i < b.size() && a[i] == b[i]) continue;
    return "event " + std::to_string(i) + ": OpenOCD " + (i < a.size() ? a[i].Text() : "(end)") +
           ", Effect " + (i < b.size() ? b[i].Text() : "(end)");
  }
  if (want.state() != got.state()) {
    return "final state: OpenOCD " + std::to_string(want.state()) + ", Effect " +
           std::to_string(got.state());
  }
  return {};
}

// OpenOCD's side of the wire, read in blocks. Until OpenOCD has scanned the
// marker, a plain device answers its chain examination; from the next entry
// into Test-Logic-Reset on, every TCK is recorded and TDO answers what the
// Effect file expects.
class BitbangTap {
 public:
  static constexpr int kMarkerBits = 13;
  static constexpr const char* kMarkerSvf = "SDR 13 TDI (1357);\n";
  static constexpr std::uint32_t kIdcode = 0x0470A0D3;

  // How TDO answers where the Effect file compares nothing: the opposite of
  // the 0 it writes there, or that 0; or, to prove that OpenOCD's checks
  // reach us, the first compared bit wrong.
  enum class Answer { kInverted, kPlain, kOneWrong };

  BitbangTap(const Recorder& effect, Answer answer) : answer_(answer) {
    for (const Event& e : effect.events()) {
      if (e.kind == 'S') expect_.push_back(&e.expect);
    }
  }

  // Serves one connection until OpenOCD quits or closes it; false with a
  // reason on a fault of the protocol or a wait of more than a minute.
  // OpenOCD fails when its socket is full, so a thread of its own empties
  // it at once and the TAP works through what it has read.
  bool Serve(int fd, std::string& error) {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> blocks;
    bool ended = false;
    std::thread reader([&] {
      std::string block(1 << 16, '\0');
      for (;;) {
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 60000) == 1 ? read(fd, block.data(), block.size()) : -1;
        const std::lock_guard<std::mutex> lock(mutex);
        if (n <= 0) {
          ended = true;
          ready.notify_one();
          return;
        }
        blocks.push_back(block.substr(0, static_cast<std::size_t>(n)));
        ready.notify_one();
      }
    });
    const bool ok = Work(fd, mutex, ready, blocks, ended, error);
    if (!ok) shutdown(fd, SHUT_RDWR);
    reader.join();
    return ok;
  }

  bool Work(int fd, std::mutex& mutex, std::condition_variable& ready,
            std::deque<std::string>& blocks, const bool& ended, std::string& error) {
    std::string out;
    for (;;) {
      std::string in;
      {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [&] { return ended || !blocks.empty(); });
        if (blocks.empty()) return true;
        in = std::move(blocks.front());
        blocks.pop_front();
      }
      out.clear();
      for (const char c : in) {
        if (c >= '0' && c <= '7') {
          Write(c - '0');
        } else if (c == 'R') {
          out += tdo_ ? '1' : '0';
        } else if (c == 'Q') {
          return true;
        } else if (std::strchr("BbrstuZz", c) == nullptr) {
          error = std::string("unknown remote_bitbang command '") + c + "'";
          return false;
        }
      }
      for (std::size_t at = 0; at < out.size();) {
        const ssize_t w = write(fd, out.data() + at, out.size() - at);
        if (w <= 0) {
          error = "cannot answer OpenOCD";
          return false;
        }
        at += static_cast<std::size_t>(w);
      }
    }
  }

  const Recorder& recorder() const { return recorder_; }
  bool recorded() const { return phase_ == kRecording; }

 private:
  enum Phase { kExamination, kAfterMarker, kRecording };

  void Write(int bits) {
    const bool tck = (bits & 4) != 0, tms = (bits & 2) != 0, tdi = (bits & 1) != 0;
    if (tck && !tck_) Rise(tms, tdi);
    if (!tck && tck_) Fall();
    tck_ = tck;
  }

  void Rise(bool tms, bool tdi) {
    if (phase_ == kRecording) {
      recorder_.Clock(tms, tdi);
      return;
    }
    // A plain device: an 8-bit instruction register capturing 01 and a
    // 32-bit data register capturing the IDCODE.
    if (state_ == kIrShift) Shift(ir_, tdi);
    if (state_ == kDrShift) {
      Shift(dr_, tdi);
      shifted_ += tdi ? '1' : '0';
    }
    const int next = kNext[state_][tms ? 1 : 0];
    if (next == kIrCapture) ir_ = Bits(0x01, 8);
    if (next == kDrCapture) dr_ = Bits(kIdcode, 32);
    if (next == kDrShift && state_ != kDrShift) shifted_.clear();
    if (state_ == kDrShift && next != kDrShift && shifted_ == Marker()) phase_ = kAfterMarker;
    if (phase_ == kAfterMarker && next == kReset && state_ != kReset) phase_ = kRecording;
    state_ = next;
  }

  // TDO changes on the falling edge.
  void Fall() {
    if (phase_ == kRecording) {
      tdo_ = false;
      if (IsShift(recorder_.state())) {
        const std::size_t scan = recorder_.scans() - 1, bit = recorder_.bits_shifted();
        const char want =
            scan < expect_.size() && bit < expect_[scan]->size() ? (*expect_[scan])[bit] : 'x';
        tdo_ = want == 'x' ? answer_ == Answer::kInverted : want == '1';
        if (want != 'x' && answer_ == Answer::kOneWrong && !wrong_given_) {
          tdo_ = !tdo_;
          wrong_given_ = true;
        }
      }
      return;
    }
    tdo_ = (state_ == kIrShift ? ir_.front() : state_ == kDrShift ? dr_.front() : '0') == '1';
  }

  static std::string Bits(std::uint32_t value, int n) {
    std::string bits;
    for (int i = 0; i < n; ++i)
      bits += static_cast<char>('0' + ((value >> i) & 1));
    return bits;
  }
  static std::string Marker() { return Bits(0x1357, kMarkerBits); }
  static void Shift(std::string& reg, bool tdi) {
    reg.erase(0, 1);
    reg += tdi ? '1' : '0';
  }

  Answer answer_;
  bool wrong_given_ = false;
  std::vector<const std::string*> expect_;
  Phase phase_ = kExamination;
  bool tck_ = false;
  bool tdo_ = false;
  int state_ = kReset;
  std::string ir_ = Bits(0x01, 8), dr_ = Bits(kIdcode, 32), shifted_;
  Recorder recorder_;
};

// A wait in seconds: OpenOCD clocks only the count and sleeps for the time.
// Given to it instead as the fewest clocks that last that time at the file's
// FREQUENCY (or the count, when larger), so the comparison holds the Effect
// file's wait to exactly the clocks that last at least the vendor's time.
std::string WaitAsClocks(const std::string& statement, const std::string& hz) {
  std::vector<std::string> words;
  std::istringstream in(statement);
  for (std::string w; in >> w;) {
    for (char& c : w)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    words.push_back(w);
  }
  if (words.empty() || words[0] != "RUNTEST" || hz.empty() ||
      std::find(words.begin(), words.end(), "SEC") == words.end())
    return statement;
  std::uint64_t clocks = 0;
  std::size_t count_at = 0;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "MAXIMUM") {
      i += 2;  // OpenOCD ignores it too
    } else if (i + 1 < words.size() && words[i + 1] == "SEC") {
      clocks = std::max(clocks, svftest::ClocksFor(words[i], hz));
      ++i;
    } else if (i + 1 < words.size() && words[i + 1] == "TCK") {
      clocks = std::max<std::uint64_t>(clocks, std::stoull(words[i]));
      count_at = out.size();
      out.push_back(words[i]);
    } else {
      out.push_back(words[i]);
    }
  }
  if (count_at == 0) {
    count_at = out.size() > 1 && out[1] != "ENDSTATE" &&
                       std::isalpha(static_cast<unsigned char>(out[1][0]))
                   ? 2
                   : 1;
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(count_at), "TCK");
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(count_at), "");
  }
  out[count_at] = std::to_string(clocks);
  std::string text;
  for (const std::string& w : out)
    text += (text.empty() ? "" : " ") + w;
  return text;
}

// OpenOCD 0.12 reads only up to the first ";" of a line: one statement a
// line, comments out, waits in clocks. A STATE RESET first gives both
// players the same start.
std::string OpenOcdCopy(const std::string& svf) {
  std::string out = "STATE RESET;\n", statement, hz;
  for (std::size_t i = 0; i < svf.size(); ++i) {
    const char c = svf[i];
    if (c == '!' || (c == '/' && i + 1 < svf.size() && svf[i + 1] == '/')) {
      while (i + 1 < svf.size() && svf[i + 1] != '\n')
        ++i;
      continue;
    }
    if (c != ';') {
      statement += c;
      continue;
    }
    std::istringstream words(statement);
    std::string first, value;
    words >> first >> value;
    for (char& ch : first)
      ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (first == "FREQUENCY") hz = value;
    if (first == "RUNTEST") statement = WaitAsClocks(statement, hz);
    out += statement + ";\n";
    statement.clear();
  }
  return out;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

struct Play {
  bool ok = false;
  std::string error;
  Recorder recorder;
};

// One run of OpenOCD over the file. Loopback TCP rather than a Unix
// socket: OpenOCD gives up when its socket is full, and TCP's buffers grow
// to megabytes where a Unix socket's stay at a few hundred kilobytes.
Play RunOpenOcd(const fs::path& dir, const fs::path& svf, const Recorder& effect,
                BitbangTap::Answer answer) {
  Play play;
  const fs::path log = dir / "openocd.log";
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // any free port
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    play.error = "cannot listen on the loopback address";
    if (listener >= 0) close(listener);
    return play;
  }

  const std::vector<std::string> args = {
      "openocd",
      "-c",
      "adapter driver remote_bitbang",
      "-c",
      "remote_bitbang host 127.0.0.1",
      "-c",
      "remote_bitbang port " + std::to_string(ntohs(address.sin_port)),
      "-c",
      "transport select jtag",
      "-c",
      "jtag newtap chip tap -irlen 8 -expected-id 0x0470a0d3",
      "-c",
      "init",
      "-c",
      "svf -quiet " + (dir / "marker.svf").string(),
      "-c",
      "svf -quiet " + svf.string(),
      "-c",
      "shutdown"};
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "openocd", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    close(listener);
    play.error = "cannot start openocd";
    return play;
  }

  BitbangTap tap(effect, answer);
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, 60000) == 1) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      play.ok = tap.Serve(fd, play.error);
      close(fd);
    }
  } else {
    play.error = "OpenOCD did not connect within a minute";
    kill(pid, SIGKILL);
  }
  close(listener);
  int status = 0;
  waitpid(pid, &status, 0);

  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  const std::string output = text.str();
  if (play.ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    play.ok = false;
    play.error = "OpenOCD failed";
  }
  // Its complaint about FREQUENCY (this adapter has no speed) is no fault
  // of the file; a TDO mismatch or a statement it refuses is.
  const std::string done = "programmed successfully for ";
  const std::size_t last = output.rfind(done);
  if (play.ok && (last == std::string::npos || last == output.find(done) ||
                  output.find(" with 0 errors", last) == std::string::npos ||
                  output.find("mismatch") != std::string::npos ||
                  output.find("check error") != std::string::npos)) {
    play.ok = false;
    play.error = "OpenOCD reports an error";
  }
  if (play.ok && !tap.recorded()) {
    play.ok = false;
    play.error = "the recording never started";
  }
  if (!play.ok)
    play.error +=
        "; its output ends:\n" + output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
  play.recorder = tap.recorder();
  return play;
}

TEST(OpenOcd, PlaysEveryConvertibleVendorFileAsTheVirtualUnitPlaysItsEffectFile) {
  const fs::path realworld = fs::path(QSR470_TESTDATA_DIR) / "realworld";
  if (!OnPath("openocd")) GTEST_SKIP() << "openocd is not installed (scripts/install-deps.sh)";
  if (!fs::is_directory(realworld)) GTEST_SKIP() << realworld << " is not there";

  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(realworld)) {
    if (entry.path().extension() == ".svf") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  char dir_template[] = "/tmp/qsr470-openocd-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const fs::path dir = dir_template;
  std::ofstream(dir / "marker.svf") << BitbangTap::kMarkerSvf;
  int compared = 0;
  bool negative_checked = false;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto started = std::chrono::steady_clock::now();
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    svf2effect::Options options;
    options.source_name = file.filename().string();
    const svf2effect::Result result = svf2effect::Convert(text.str(), options);
    if (!result.problems.empty()) {
      std::cout << file.filename().string() << ": refused at line " << result.problems[0].line
                << " (" << result.problems[0].message << ")\n";
      continue;
    }
    std::string error;
    const Recorder effect = PlayEffect(result.effect, error);
    ASSERT_EQ(error, "");

    const fs::path copy = dir / file.filename();
    std::ofstream(copy, std::ios::binary) << OpenOcdCopy(text.str());
    std::uint64_t clocks = 0;
    bool alike = true;
    for (const auto answer : {BitbangTap::Answer::kInverted, BitbangTap::Answer::kPlain}) {
      const Play play = RunOpenOcd(dir, copy, effect, answer);
      ASSERT_TRUE(play.ok) << play.error;
      const std::string difference = FirstDifference(play.recorder, effect);
      EXPECT_EQ(difference, "");
      alike = alike && difference.empty();
      clocks += play.recorder.clocks();
      ++compared;
      if (!negative_checked) {
        // A clock more in the Effect file must show.
        std::string changed = result.effect;
        const std::size_t at = changed.find("RUNTEST ");
        if (at != std::string::npos) {
          const std::size_t number = at + 8;
          const std::size_t end = changed.find(' ', number);
          changed.replace(number, end - number,
                          std::to_string(std::stoull(changed.substr(number, end - number)) + 1));
          EXPECT_NE(FirstDifference(play.recorder, PlayEffect(changed, error)), "");
          // And one TDO bit wrong must make OpenOCD report a mismatch.
          EXPECT_FALSE(RunOpenOcd(dir, copy, effect, BitbangTap::Answer::kOneWrong).ok);
          negative_checked = true;
        }
      }
    }
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << file.filename().string() << ": converts; "
              << (alike ? "OpenOCD plays it alike, TDO checks included"
                        : "OpenOCD plays it otherwise")
              << " (" << clocks << " TCKs in two runs, " << seconds << " s)\n";
  }
  fs::remove_all(dir);
  EXPECT_GT(compared, 0);
  EXPECT_TRUE(negative_checked);
}

}  // namespace
