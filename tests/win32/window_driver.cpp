// window_driver.exe: works QSR470Updater.exe the way a technician does, from
// another process, and says what it saw. It runs on Windows or under wine;
// scripts/test-windows.sh starts it with the virtual unit on COM1.
//
//   window_driver.exe run    PROGRAM [--shot FILE.bmp]
//   window_driver.exe manual PROGRAM
//   window_driver.exe fault  PROGRAM --error TEXT --port-closed FILE
//   window_driver.exe about  PROGRAM --version VERSION
//   window_driver.exe job    PROGRAM --script SCRIPT
//   window_driver.exe slowstop PROGRAM
//
// PROGRAM starts in its own folder, which holds the sample script and its
// files, except for `job`: there SCRIPT, the sample script in a folder of
// its own, is the program's argument, as when it is dropped on the icon. Each line of output is
// "ok: ...", "FAIL: ..." or "seen: ..."; the exit status is 0 only when every check held.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/win32/resource.h"

namespace {

constexpr DWORD kAppear = 60'000;   // ms for a window or a box to show up
constexpr DWORD kRun = 300'000;     // ms for the sample script to run
constexpr DWORD kMessage = 30'000;  // ms for one message to be handled
constexpr char kProgramName[] = "Corvane QSR470 Updater";
constexpr char kIdlePrompt[] = "Click on button START to begin program operation";
constexpr char kCompleted[] = "Program operation completed";

int failures = 0;

void Say(const char* kind, const std::string& what) {
  std::printf("%s: %s\n", kind, what.c_str());
  std::fflush(stdout);
}

bool Check(bool holds, const std::string& what) {
  Say(holds ? "ok" : "FAIL", what);
  if (!holds) ++failures;
  return holds;
}

// Polls `holds` until it is true or `timeout` ms have gone by; the pause
// between looks only spaces them out, nothing waits on it.
bool WaitFor(const std::function<bool()>& holds, DWORD timeout) {
  const ULONGLONG deadline = GetTickCount64() + timeout;
  for (;;) {
    if (holds()) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(20);
  }
}

std::string Text(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessage, &length)) {
    return {};
  }
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, kMessage, &copied);
  text.resize(copied);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

// The top-level window of `process` with that class and, when given, title.
HWND FindTopLevel(DWORD process, const std::string& windowClass, const char* title = nullptr) {
  struct Search {
    DWORD process;
    const std::string& windowClass;
    const char* title;
    HWND found;
  } search{process, windowClass, title, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(data);
        if (ProcessOf(window) != s.process || !IsWindowVisible(window) ||
            ClassOf(window) != s.windowClass) {
          return TRUE;
        }
        char title[256] = {};
        GetWindowTextA(window, title, sizeof title);
        if (s.title != nullptr && s.title != std::string(title)) return TRUE;
        s.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForTopLevel(DWORD process, const std::string& windowClass, const char* title,
                     const std::string& what) {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindTopLevel(process, windowClass, title)) != nullptr; }, kAppear);
  Check(found != nullptr, what + " is shown");
  return found;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM data) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

void Click(HWND button) {
  DWORD_PTR ignored;
  SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kMessage, &ignored);
}

// A menu item opens a modal dialog inside its handler: post it, so the
// driver goes on while the dialog is up.
void Menu(HWND window, int command) {
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

std::string Describe(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
         std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

struct Place {
  int id;
  const char* name;
  const char* windowClass;
  int left, top, width, height;
};

// The controls' rectangles, in the client coordinates of `parent`.
void CheckPlaces(HWND parent, int clientWidth, int clientHeight, const Place* places,
                 std::size_t count) {
  RECT client{};
  GetClientRect(parent, &client);
  Check(client.right == clientWidth && client.bottom == clientHeight,
        "client area " + Describe(client) + " (" + std::to_string(clientWidth) + "x" +
            std::to_string(clientHeight) + ")");
  for (std::size_t i = 0; i < count; ++i) {
    const Place& p = places[i];
    const HWND control = GetDlgItem(parent, p.id);
    if (control == nullptr) {
      Check(false, std::string(p.name) + " exists");
      continue;
    }
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    const RECT expected{p.left, p.top, p.left + p.width, p.top + p.height};
    Check(EqualRect(&r, &expected) != FALSE &&
              lstrcmpiA(ClassOf(control).c_str(), p.windowClass) == 0,
          std::string(p.name) + " " + ClassOf(control) + " at " + Describe(r) + " (" +
              p.windowClass + " at " + Describe(expected) + ")");
  }
}

// The started program; ended by force should the driver stop half-way.
class Program {
 public:
  explicit Program(const std::string& path, const std::string& argument = "") {
    const std::string folder = path.substr(0, path.find_last_of("\\/") + 1);
    std::string commandLine = "\"" + path + "\"";
    if (!argument.empty()) commandLine += " \"" + argument + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process_)) {
      Check(false, "start " + path + " (error " + std::to_string(GetLastError()) + ")");
      return;
    }
    WaitFor([&] { return (window_ = FindTopLevel(process_.dwProcessId, "QSR470UpdaterWindow")); },
            kAppear);
    Check(window_ != nullptr, "the window of " + path + " is shown");
  }
  ~Program() {
    if (process_.hProcess == nullptr) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  HWND Window() const { return window_; }
  DWORD Id() const { return process_.dwProcessId; }
  HWND Control(int id) const { return GetDlgItem(window_, id); }
  std::vector<std::string> Status() const { return Lines(Text(Control(IDC_MEMO_STATUS))); }
  std::string LastStatus() const {
    const auto lines = Status();
    return lines.empty() ? std::string() : lines.back();
  }
  bool StatusHas(const std::string& line) const {
    for (const std::string& l : Status()) {
      if (l == line) return true;
    }
    return false;
  }

  // Checks that the program ends on its own within the deadline, with
  // status 0.
  void CheckEnds(const std::string& after) {
    const bool ended = WaitForSingleObject(process_.hProcess, kAppear) == WAIT_OBJECT_0;
    DWORD status = 99;
    GetExitCodeProcess(process_.hProcess, &status);
    Check(ended && status == 0,
          "the program ends after " + after + (ended ? ", status " + std::to_string(status) : ""));
  }

 private:
  PROCESS_INFORMATION process_{};
  HWND window_ = nullptr;
};

bool WaitForIdle(const Program& program) {
  return Check(WaitFor([&] { return program.LastStatus() == kIdlePrompt; }, kAppear),
               "the status display shows \"" + std::string(kIdlePrompt) + "\"");
}

// START, then the status display until the run has completed. True when it
// did; `title` gets the title with the unit's identity if it ever showed one.
bool RunToCompletion(const Program& program, std::string& title, bool byEnter = false) {
  if (byEnter) {
    PostMessageA(program.Control(IDC_START), WM_KEYDOWN, VK_RETURN, 0);
  } else {
    Click(program.Control(IDC_START));
  }
  Check(WaitFor([&] { return Text(program.Control(IDC_START)) == "STOP"; }, kAppear),
        "START reads STOP while the script runs");
  const bool completed = WaitFor(
      [&] {
        const std::string now = Text(program.Window());
        if (now.find("(Device Id : ") != std::string::npos) title = now;
        return program.StatusHas(kCompleted) || FindTopLevel(program.Id(), "#32770") != nullptr;
      },
      kRun);
  const auto lines = program.Status();
  Check(completed && program.StatusHas(kCompleted),
        "the run ends with \"" + std::string(kCompleted) + "\" (last status line \"" +
            (lines.empty() ? "" : lines.back()) + "\")");
  return completed;
}

// The window as it is on screen, as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::string& path) {
  RECT r{};
  GetWindowRect(window, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom row first, as the file keeps it
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::vector<char> pixels(stride * static_cast<DWORD>(height));

  // Drawing reaches the screen some time after the window has painted: take
  // pictures until two in a row agree and show more than one colour.
  std::vector<char> previous;
  const auto settled = [&] {
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    bool varied = false;
    for (std::size_t i = 3; i < pixels.size() && !varied; i += 3)
      varied = pixels[i] != pixels[0];
    const bool same = pixels == previous;
    previous = pixels;
    return varied && same;
  };
  const bool stable = WaitFor(settled, kAppear);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                       std::fwrite(&header, sizeof header, 1, out) == 1 &&
                       std::fwrite(pixels.data(), pixels.size(), 1, out) == 1;
  return std::fclose(out) == 0 && written && stable;
}

// --- the scenarios ---

constexpr Place kMainPlaces[] = {
    {IDC_MEMO_STATUS, "MemoStatus", "Edit", 22, 8, 484, 105},
    {IDC_PROGRESS_BAR1, "ProgressBar1", PROGRESS_CLASSA, 22, 120, 484, 17},
    {IDC_PROGRESS_BAR2, "ProgressBar2", PROGRESS_CLASSA, 22, 145, 484, 17},
    {IDC_READ_ID, "ReadId", "Button", 22, 173, 137, 41},
    {IDC_START, "Start", "Button", 180, 173, 169, 41},
    {IDC_QUIT, "Quit", "Button", 369, 173, 137, 41},
};

constexpr Place kCompSelPlaces[] = {
    {IDC_CB_KEYB, "CBKeyb", "Button", 112, 24, 73, 17},
    {IDC_CB_PROM1, "CBProm1", "Button", 112, 52, 73, 17},
    {IDC_CB_PROM2, "CBProm2", "Button", 112, 80, 73, 17},
    {IDOK, "OKBtn", "Button", 75, 112, 154, 33},
};

// Layout, title and look of the idle window, then the sample script from
// START to completion, then Quit.
int Run(const std::string& path, const std::string& shot) {
  Program program(path);
  if (program.Window() == nullptr) return 1;
  const HWND window = program.Window();
  const auto style = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE));
  Check((style & (WS_THICKFRAME | WS_MAXIMIZEBOX)) == 0 &&
            (style & (WS_SYSMENU | WS_MINIMIZEBOX)) == (WS_SYSMENU | WS_MINIMIZEBOX),
        "fixed border, system menu and minimise box only");
  CheckPlaces(window, 528, 223, kMainPlaces, std::size(kMainPlaces));
  const auto memoStyle =
      static_cast<DWORD>(GetWindowLongPtrA(program.Control(IDC_MEMO_STATUS), GWL_STYLE));
  Check((memoStyle & (ES_MULTILINE | ES_READONLY | WS_VSCROLL)) ==
            (ES_MULTILINE | ES_READONLY | WS_VSCROLL),
        "MemoStatus is multi-line, read-only, with a vertical scroll bar");
  for (const int id : {IDC_READ_ID, IDC_START, IDC_QUIT}) {
    Check(IsWindowVisible(program.Control(id)) != FALSE,
          "\"" + Text(program.Control(id)) + "\" is shown (readid.ini is in the folder)");
  }
  const std::string unknown = std::string(kProgramName) + "  (Device Id Unknown)";
  Check(Text(window) == unknown, "title \"" + Text(window) + "\" at start");
  if (!WaitForIdle(program)) return 1;
  if (!shot.empty())
    Check(SaveScreenshot(window, shot), "screenshot of the idle window in " + shot);

  // The keyboard: Tab goes round the display and the three buttons and back
  // to START, where Enter starts the run.
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  const auto focused = [&] {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
  };
  Check(WaitFor([&] { return focused() == program.Control(IDC_START); }, kAppear),
        "START has the focus");
  std::string round;
  for (int i = 0; i < 4; ++i) {
    const HWND from = focused();
    PostMessageA(from, WM_KEYDOWN, VK_TAB, 0);
    WaitFor([&] { return focused() != from; }, kAppear);
    const HWND now = focused();
    round += " " + (now == program.Control(IDC_MEMO_STATUS) ? std::string("display") : Text(now));
  }
  Check(round == " Quit display Read Id START", "Tab from START goes to" + round);

  std::string title;
  if (!RunToCompletion(program, title, true)) return 1;
  Check(title == std::string(kProgramName) + "  (Device Id : A470)",
        "title \"" + title + "\" once the unit has answered");
  Check(WaitFor([&] { return Text(program.Control(IDC_START)) == "START"; }, kAppear),
        "the button reads START again");
  Click(program.Control(IDC_QUIT));
  program.CheckEnds("Quit");
  return failures == 0 ? 0 : 1;
}

// Reads (and checks) the three boxes of the component selection dialog, then
// runs `change` on it and closes it with OK.
void WithComponentSelection(const Program& program, bool keyb, bool prom1, bool prom2,
                            const std::function<void(HWND)>& change) {
  Menu(program.Window(), IDM_MANUAL);
  const HWND dialog = WaitForTopLevel(program.Id(), "#32770", "Component Selection",
                                      "the Component Selection dialog");
  if (dialog == nullptr) return;
  const struct {
    int id;
    bool checked;
  } boxes[] = {{IDC_CB_KEYB, keyb}, {IDC_CB_PROM1, prom1}, {IDC_CB_PROM2, prom2}};
  for (const auto& box : boxes) {
    const HWND control = GetDlgItem(dialog, box.id);
    const bool checked = SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Check(checked == box.checked,
          "\"" + Text(control) + "\" is " + (checked ? "ticked" : "unticked"));
  }
  change(dialog);
  Click(GetDlgItem(dialog, IDOK));
  Check(WaitFor([&] { return !IsWindow(dialog); }, kAppear), "OK closes the dialog");
}

// Manual mode with Prom 2 unticked; the box keeps its state.
int Manual(const std::string& path) {
  Program program(path);
  if (program.Window() == nullptr || !WaitForIdle(program)) return 1;
  WithComponentSelection(program, true, true, true, [&](HWND dialog) {
    CheckPlaces(dialog, 313, 171, kCompSelPlaces, std::size(kCompSelPlaces));
    const HWND prom2 = GetDlgItem(dialog, IDC_CB_PROM2);
    Check(Text(prom2) == "Prom 2", "the third box reads \"" + Text(prom2) + "\"");
    Click(prom2);
    Check(SendMessageA(prom2, BM_GETCHECK, 0, 0) == BST_UNCHECKED, "a click unticks Prom 2");
  });
  std::string title;
  if (!RunToCompletion(program, title)) return 1;
  Check(WaitFor([&] { return Text(program.Control(IDC_START)) == "START"; }, kAppear),
        "the button reads START again");
  // The same dialog, next showing: Prom 2 is still unticked.
  WithComponentSelection(program, true, true, false, [](HWND) {});
  PostMessageA(program.Window(), WM_CLOSE, 0, 0);
  program.CheckEnds("closing the window");
  return failures == 0 ? 0 : 1;
}

// The unit answers "X": the error box shows the handler's text while the
// port is already closed, and dismissing it ends the program.
int Fault(const std::string& path, const std::string& error, const std::string& portClosed) {
  Program program(path);
  if (program.Window() == nullptr || !WaitForIdle(program)) return 1;
  Click(program.Control(IDC_START));
  const HWND box = WaitForTopLevel(program.Id(), "#32770", kProgramName,
                                   "a box titled \"" + std::string(kProgramName) + "\"");
  if (box == nullptr) return 1;
  std::string shown;
  for (const HWND child : Children(box)) {
    if (lstrcmpiA(ClassOf(child).c_str(), "Static") == 0 && !Text(child).empty()) {
      shown += (shown.empty() ? "" : "|") + Text(child);
    }
  }
  Check(shown == error, "the box says \"" + shown + "\" (\"" + error + "\")");
  Check(GetWindow(box, GW_OWNER) == program.Window(), "the box belongs to the window");
  Check(program.LastStatus() == error, "last status line \"" + program.LastStatus() + "\"");
  // The unit writes its report once the updater has let go of the line.
  Check(WaitFor([&] { return GetFileAttributesA(portClosed.c_str()) != INVALID_FILE_ATTRIBUTES; },
                kAppear),
        "the port is closed while the box is up (" + portClosed + " written)");
  Click(GetDlgItem(box, IDOK));
  program.CheckEnds("the box is dismissed");
  return failures == 0 ? 0 : 1;
}

// The installed program reads its own version resource and carries its
// manifest.
int About(const std::string& path, const std::string& version) {
  if (const HMODULE file = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    Check(FindResourceA(file, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) != nullptr,
          "the program carries its application manifest");
    FreeLibrary(file);
  } else {
    Check(false, "read the resources of " + path);
  }
  Program program(path);
  if (program.Window() == nullptr) return 1;
  Menu(program.Window(), IDM_ABOUT);
  const std::string title = "About \"" + std::string(kProgramName) + "\"";
  const HWND box = WaitForTopLevel(program.Id(), "#32770", title.c_str(), "the About box");
  if (box != nullptr) {
    const std::string label = Text(GetDlgItem(box, IDC_ABOUT_VERSION));
    Check(label == "Version : " + version, "the About box reads \"" + label + "\"");
    Click(GetDlgItem(box, IDOK));
    Check(WaitFor([&] { return !IsWindow(box); }, kAppear), "OK closes the About box");
  }
  PostMessageA(program.Window(), WM_CLOSE, 0, 0);
  program.CheckEnds("closing the window");
  return failures == 0 ? 0 : 1;
}

// A job in a folder of its own, given as the program's argument, runs from
// there on a port above Com 9 chosen from the Port menu. Menus cannot be
// read from another process, so the driver chooses as a technician would,
// with the keyboard: Alt+P, End, Enter. The last item is the port only if
// the menu lists it; any other would not reach the unit.
int Job(const std::string& path, const std::string& script) {
  Program program(path, script);
  if (program.Window() == nullptr || !WaitForIdle(program)) return 1;
  PostMessageA(program.Window(), WM_SYSCOMMAND, SC_KEYMENU, 'p');
  const HWND menu = WaitForTopLevel(program.Id(), "#32768", nullptr, "the Port menu");
  if (menu == nullptr) return 1;
  PostMessageA(program.Window(), WM_KEYDOWN, VK_END, 0);
  PostMessageA(program.Window(), WM_KEYDOWN, VK_RETURN, 0);
  Check(WaitFor([&] { return IsWindowVisible(menu) == FALSE; }, kAppear),
        "End and Enter choose the Port menu's last item");
  std::string title;
  if (!RunToCompletion(program, title)) return 1;
  PostMessageA(program.Window(), WM_CLOSE, 0, 0);
  program.CheckEnds("closing the window");
  return failures == 0 ? 0 : 1;
}

// STOP while a PROM goes at 19200 baud, then START: the next run starts at
// 57600 again and completes.
int SlowStop(const std::string& path) {
  Program program(path);
  if (program.Window() == nullptr || !WaitForIdle(program)) return 1;
  Menu(program.Window(), IDM_SLOW);
  Click(program.Control(IDC_START));
  const HWND bar = program.Control(IDC_PROGRESS_BAR1);
  const bool transferring = WaitFor(
      [&] {
        DWORD_PTR position = 0;
        SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kMessage, &position);
        return program.LastStatus() == "Updating Prom Devices" && position >= 2;
      },
      kRun);
  if (!Check(transferring, "a PROM transfer at the slow speed is under way")) return 1;
  Click(program.Control(IDC_START));
  Check(WaitFor([&] { return Text(program.Control(IDC_START)) == "START"; }, kAppear),
        "STOP: the button reads START again");
  std::string title;
  if (!RunToCompletion(program, title)) return 1;
  Click(program.Control(IDC_QUIT));
  program.CheckEnds("Quit");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto option = [&](const std::string& name) {
    for (std::size_t i = 2; i + 1 < args.size(); ++i) {
      if (args[i] == name) return args[i + 1];
    }
    return std::string();
  };
  if (args.size() >= 2) {
    const std::string& scenario = args[0];
    const std::string& program = args[1];
    if (scenario == "run") return Run(program, option("--shot"));
    if (scenario == "manual") return Manual(program);
    if (scenario == "fault" && !option("--error").empty() && !option("--port-closed").empty()) {
      return Fault(program, option("--error"), option("--port-closed"));
    }
    if (scenario == "about" && !option("--version").empty()) {
      return About(program, option("--version"));
    }
    if (scenario == "job" && !option("--script").empty()) return Job(program, option("--script"));
    if (scenario == "slowstop") return SlowStop(program);
  }
  std::fprintf(stderr,
               "usage: window_driver run|manual|fault|about|job|slowstop PROGRAM"
               " [--shot FILE.bmp] [--error TEXT --port-closed FILE] [--version VERSION]"
               " [--script SCRIPT]\n");
  return 2;
}
