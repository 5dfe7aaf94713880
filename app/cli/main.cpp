// qsr470-update: the updater's engine on the command line. It starts the run
// at once, prints each status line as the window would show it, and exits
// 0 on completion, 1 after an error stop, 130 after Ctrl-C or SIGTERM
// (STOP), 2 on bad usage. A closed pipe or terminal ends nothing.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/About.h"
#include "app/JobCheck.h"
#include "app/SerialLink.h"
#include "app/cli/check.h"
#include "app/cli/console.h"
#include "app/cli/hints.h"
#include "app/cli/options.h"
#include "app/cli/progress.h"
#include "app/cli/progress_json.h"
#include "app/cli/report.h"
#include "app/cli/svf_hint.h"
#include "app/main.h"
#include "platform/files.h"
#include "platform/handover.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitCompleted = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// The job's file that the report, or its temporary, would replace; empty
// when none. A report path where nothing is yet can be no job's file, so
// the job is read only when something is there.
std::string ReportReplacesJobFile(const CliOptions& options) {
  if (!options.report) return {};
  const std::string report = *options.report;
  const std::string tmp = report + ".tmp";
  std::error_code ec;
  if (!std::filesystem::exists(report, ec) && !std::filesystem::exists(tmp, ec)) return {};
  for (const std::string& path : JobPaths(options)) {
    if (platform::SameFile(report, path) || platform::SameFile(tmp, path)) return path;
  }
  return {};
}

int Run(const CliOptions& options) {
  // What the run leaves behind is checked before the unit hears anything.
  ReportFile report;
  if (const std::string job = ReportReplacesJobFile(options); !job.empty()) {
    std::cerr << "qsr470-update: --report " << *options.report << " would replace the job's file "
              << job << "; name another report file\n";
    return kExitUsage;
  }
  if (std::string error; options.report && !report.Prepare(*options.report, error)) {
    std::cerr << "qsr470-update: " << error << "\n";
    return kExitUsage;
  }

  platform::HandoverQueue queue;
  std::atomic<bool> interrupted = false;
  // Ctrl-C becomes a STOP click on the main thread, between two steps.
  WatchInterrupt([&] {
    interrupted = true;
    queue.RunOnMainThread([] {});  // wakes the main loop
  });

  const bool drawProgress = StderrIsTerminal();
  ProgressLine progress(stderr);
  std::unique_ptr<ProgressJson> json;
  auto statusOut = [&](const std::string& line) {
    // There is no START button here to click.
    if (line == TMainFich::kIdlePrompt) return;
    if (json) {
      json->Status(line);
      return;
    }
    progress.Clear();
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };
  auto errorOut = [&](const std::string& line) {
    progress.Clear();
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  };

  PermissionHint permissionHint;
  auto link = MakeSerialLink(
      queue,
      [&](const std::string& message, const std::string& detail) {
        const std::string text = detail.empty() ? message : message + "(" + detail + ")";
        if (json) json->Message(text);
        errorOut(text);
        if (const std::string hint = permissionHint.AfterOpenError(detail); !hint.empty()) {
          errorOut(hint);
        }
      },
      options.device);
  TMainFich main(std::move(link), options.script);

  int exitCode = kExitCompleted;
  bool closed = false;
  main.OnStatusLine = statusOut;
  main.OnErrorBox = [&](const std::string& text) {
    // Before the message, which stays the last line.
    if (const std::string why = NotAFileLine(text); !why.empty()) errorOut(why);
    if (const std::string at = PositionText(main.Record); !at.empty()) errorOut(at);
    PointToConverter(main, errorOut);
    if (!main.StallText().empty()) {
      if (json) json->Message(main.StallText());
      errorOut(main.StallText());
    }
    if (!main.LastErrorDetail.empty()) errorOut(main.LastErrorDetail);
    errorOut(text);
    exitCode = kExitError;
  };
  main.OnJobNote = errorOut;
  main.OnClose = [&] { closed = true; };
  if (drawProgress) {
    main.OnChanged = [&] { progress.Update(main.ProgressBar1, main.ProgressBar2); };
  }
  // Takes the status lines (through statusOut) and replaces the bars above.
  if (options.progressJson) json = std::make_unique<ProgressJson>(main, stdout);

  main.ComClick(options.port);
  if (options.autoMode) main.MAutoClick();
  ApplySkips(options, main.CompSel);
  if (options.slow) main.SlowClick();
  if (options.files) main.SetFileFolder(*options.files);
  main.TrustedKeyFiles = options.trustedKeys;
  main.SetReplyTimeout(options.timeoutSeconds);

  RunContext context;
  context.startTime = UtcNowIso8601();
  context.port = options.device ? *options.device : "COM" + std::to_string(options.port);
  context.mode = options.autoMode ? "auto" : "manual";
  context.speed = options.slow ? "slow" : "fast";
  const auto started = Clock::now();

  // The window's first tick readies the idle state; then the button is pressed.
  main.Timer1Timer();
  if (options.readId) {
    main.ReadIdClick();
  } else {
    main.StartClick();
  }

  AdapterLatencyCheck adapterLatency;
  const auto interval = std::chrono::milliseconds(main.Timer1.Interval);
  auto nextTick = Clock::now() + interval;
  while (!closed) {
    queue.WaitAndRunUntil(nextTick);
    if (interrupted) {
      if (main.RunState != TRunState::Idle) {
        main.StartClick();  // STOP
        // The log must say whether the unit is left as it was or half done.
        if (const std::string at = PositionText(main.Record); !at.empty()) errorOut(at);
        errorOut(AfterStopText(main.Record));
      }
      exitCode = kExitInterrupted;
      break;
    }
    adapterLatency.AfterStep(main, errorOut);
    if (Clock::now() >= nextTick) {
      // The timer is paused while a step runs, so the next tick comes one
      // interval after this one has ended.
      if (main.Timer1.Enabled) main.Timer1Timer();
      nextTick = Clock::now() + interval;
    }
    if (main.Record.Result == "completed" && main.RunState == TRunState::Idle) break;
  }
  // The bars end with the run; closing the window below must not draw them.
  main.OnChanged = {};
  progress.Clear();

  context.endTime = UtcNowIso8601();
  context.adapterLatencyMs = adapterLatency.MedianMs();
  context.durationMs = static_cast<unsigned long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  // The run's own status stands: the unit is what it is whatever became of
  // its record.
  if (std::string error; !report.Commit(RunReportJson(main.Record, context), error)) {
    errorOut("qsr470-update: " + error);
  }
  main.Close();
  if (json) json->End(exitCode);
  RunEnded();
  // The queue the interrupt wakes goes with this function. Closing it first
  // releases an interrupt that is waiting to be run, which would otherwise
  // hold the hook.
  queue.Close();
  StopWatchingInterrupt();
  return exitCode;
}

// One line per port: what --port takes ("-" when no number reaches it,
// then --device takes the path), the system's name, the device.
int ListPorts() {
  for (const TPresentPort& port : PresentPorts()) {
    const std::string number = port.number > 0 ? std::to_string(port.number) : "-";
    std::printf("%s\t%s\t%s\n", number.c_str(), port.name.c_str(), port.path.c_str());
  }
  return std::fflush(stdout) == 0 ? kExitCompleted : kExitError;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = ParseCliOptions(args, error);
  if (!options) {
    std::cerr << "qsr470-update: " << error << "\n" << kCliUsage;
    return kExitUsage;
  }
  if (options->help) {
    std::cout << kCliUsage;
    return 0;
  }
  if (options->version) {
    std::cout << "qsr470-update " << ReadVersionString() << "\n";
    return 0;
  }
  if (options->listPorts) return ListPorts();
  if (options->check) return RunCheck(*options);
  // A path that is there and can never be a serial port will not become
  // one by waiting; one that is not there yet may be an adapter to come.
  if (options->device) {
    if (const std::string why = platform::NotASerialPortReason(*options->device); !why.empty()) {
      std::cerr << "qsr470-update: --device " << *options->device << " is " << why << "\n";
      return kExitUsage;
    }
  }
  return Run(*options);
}
