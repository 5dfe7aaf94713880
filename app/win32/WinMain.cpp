// QSR470Updater.exe: the technician's window. The first command-line
// argument, if any, is the script that START runs.

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/SerialLink.h"
#include "app/main.h"
#include "app/win32/HandoverWindow.h"
#include "app/win32/MainWindow.h"

namespace {

int RunMessageLoop(MainWindow& window) {
  MSG message;
  for (;;) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);
    if (got == -1) return 1;
    if (window.HandleKey(message)) continue;
    // The arrow keys move between the window's buttons.
    if (window.Handle() != nullptr && IsDialogMessageA(window.Handle(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  std::optional<std::string> script;
  if (__argc > 1 && __argv != nullptr && __argv[1] != nullptr) script = __argv[1];

  // Declared first, so it goes last: the engine's link stops the
  // communication thread, which may be waiting on it, before it goes.
  HandoverWindow handover(instance);
  if (!handover.Valid()) {
    ShowErrorBox(nullptr, "Cannot create the window");
    return 1;
  }

  // The thread hands the box over to the main thread, so `shown` is only
  // ever read there.
  const MainWindow* shown = nullptr;
  auto link = MakeSerialLink(
      handover,
      [&shown](const std::string& message, const std::string& detail) {
        // The system's reason names the port: "Error while opening \\.\COM3: ...".
        ShowErrorBox(shown != nullptr ? shown->Handle() : nullptr, message + detail);
      },
      std::nullopt);
  TMainFich main(std::move(link), script);

  int exitCode = 1;
  {
    MainWindow window(main, handover, instance);
    if (!window.Create(showCommand)) {
      ShowErrorBox(nullptr, "Cannot create the window");
      return 1;
    }
    shown = &window;
    exitCode = RunMessageLoop(window);
    shown = nullptr;
  }
  // Idempotent: the loop normally ends because the window has closed.
  main.Close();
  return exitCode;
}
