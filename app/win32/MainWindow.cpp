#include "app/win32/MainWindow.h"

#include <commctrl.h>

#include <algorithm>

#include "app/About.h"
#include "app/win32/Dialogs.h"
#include "app/win32/resource.h"
#include "platform/handover.h"

namespace {

constexpr char kClassName[] = "QSR470UpdaterWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kClientWidth = 528;
constexpr int kClientHeight = 223;
constexpr int kFontHeight = 16;  // pixels
constexpr UINT_PTR kTimerId = 1;

enum : int {
  kMemo = IDC_MEMO_STATUS,
  kBar1 = IDC_PROGRESS_BAR1,
  kBar2 = IDC_PROGRESS_BAR2,
  kReadId = IDC_READ_ID,
  kStart = IDC_START,
  kQuit = IDC_QUIT
};
constexpr UINT kFirstCom = IDM_COM1;
constexpr int kMenuPorts = 9;  // Com 1 .. Com 9, always in the Port menu
enum : UINT {
  kAuto = IDM_AUTO,
  kManual = IDM_MANUAL,
  kFast = IDM_FAST,
  kSlow = IDM_SLOW,
  kAbout = IDM_ABOUT
};

// The left edge and width the memo and both bars share.
constexpr int kWideLeft = 22;
constexpr int kWideWidth = 484;

}  // namespace

void ShowErrorBox(HWND owner, const std::string& text) {
  // The box names the program, so the technician knows whose error it is.
  MessageBoxA(owner, text.c_str(), kProgramTitle, MB_ICONERROR | MB_OK);
}

MainWindow::MainWindow(TMainFich& main, platform::MainThreadHandover& handover, HINSTANCE instance)
    : main_(main), handover_(handover), instance_(instance) {
  buttons_ = {
      {&main_.ReadId, kReadId, {22, 173, 137, 41}, [this] { main_.ReadIdClick(); }},
      {&main_.Start, kStart, {180, 173, 169, 41}, [this] { main_.StartClick(); }},
      {&main_.Quit, kQuit, {369, 173, 137, 41}, [this] { main_.QuitClick(); }},
  };
  bars_ = {{&main_.ProgressBar1, kBar1, 120}, {&main_.ProgressBar2, kBar2, 145}};

  Menu port{&main_.Port1, {}};
  for (int n = 1; n <= 9; ++n) {
    port.items.push_back({&main_.Com[n - 1], kFirstCom + static_cast<UINT>(n - 1),
                          [this, n] { main_.ComClick(n); }});
  }
  menus_ = {
      std::move(port),
      {&main_.Program1,
       {{&main_.MAuto, kAuto, [this] { main_.MAutoClick(); }},
        {&main_.MManual, kManual, [this] { main_.MManualClick(); }}}},
      {&main_.Speed1,
       {{&main_.Fast, kFast, [this] { main_.FastClick(); }},
        {&main_.Slow, kSlow, [this] { main_.SlowClick(); }}}},
      {&main_.About1,
       {{&main_.AboutQSR470Updater1, kAbout, [this] { main_.AboutQSR470Updater1Click(); }}}},
  };

  main_.OnChanged = [this] { Render(); };
  main_.OnErrorBox = [this](const std::string& text) { ShowErrorBox(window_, text); };
  main_.OnShowCompSel = [this](TCompSelDlg& dialog) {
    ShowCompSelDialog(instance_, window_, dialog);
  };
  main_.OnShowAbout = [this](const TAboutBox& box) { ShowAboutBox(instance_, window_, box); };
  main_.OnClose = [this] {
    handover_.Close();
    if (window_ != nullptr) DestroyWindow(window_);
  };
}

MainWindow::~MainWindow() {
  main_.OnChanged = nullptr;
  main_.OnErrorBox = nullptr;
  main_.OnShowCompSel = nullptr;
  main_.OnShowAbout = nullptr;
  main_.OnClose = nullptr;
  if (window_ != nullptr) DestroyWindow(window_);
}

bool MainWindow::Create(int showCommand) {
  font_ = MakeFont(kFontHeight);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &MainWindow::WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = static_cast<HICON>(
      LoadImageA(instance_, MAKEINTRESOURCEA(IDI_UPDATER), IMAGE_ICON, 32, 32, LR_SHARED));
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageA(instance_, MAKEINTRESOURCEA(IDI_UPDATER), IMAGE_ICON, 16, 16, LR_SHARED));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  if (RegisterClassExA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }

  const HMENU menuBar = BuildMenu();
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kStyle, TRUE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  // WM_NCCREATE sets window_.
  CreateWindowExA(0, kClassName, "", kStyle, left, top, width, height, nullptr, menuBar, instance_,
                  this);
  if (window_ == nullptr) {
    DestroyMenu(menuBar);
    return false;
  }
  menuBar_ = menuBar;

  // The frame estimate takes a one-line menu bar; should the bar wrap, the
  // window grows so the client area keeps its size.
  RECT client{};
  GetClientRect(window_, &client);
  const int missing = kClientHeight - (client.bottom - client.top);
  if (missing != 0) {
    SetWindowPos(window_, nullptr, left, top - missing / 2, width, height + missing,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  CreateControls();
  Render();
  SetTimer(window_, kTimerId, static_cast<UINT>(main_.Timer1.Interval), nullptr);
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  return true;
}

HMENU MainWindow::BuildMenu() {
  const HMENU menuBar = CreateMenu();
  for (const Menu& menu : menus_) {
    const HMENU popup = CreatePopupMenu();
    if (menu.state == &main_.Port1) portMenu_ = popup;
    for (const MenuItem& item : menu.items) {
      AppendMenuA(popup, MF_STRING, item.id, item.state->Caption.c_str());
      // Every item of a menu belongs to one radio group.
      MENUITEMINFOA info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_FTYPE;
      info.fType = MFT_STRING | MFT_RADIOCHECK;
      SetMenuItemInfoA(popup, item.id, FALSE, &info);
    }
    AppendMenuA(menuBar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), menu.state->Caption.c_str());
  }
  present_ = PresentPorts();
  RebuildPortItems();
  return menuBar;
}

void MainWindow::RebuildPortItems() {
  while (GetMenuItemCount(portMenu_) > kMenuPorts)
    DeleteMenu(portMenu_, kMenuPorts, MF_BYPOSITION);
  const int checked = main_.CheckedPort();
  portItemsFor_ = checked;
  // Three blanks set the device's name apart from the port's caption.
  auto detail = [](const TPresentPort& port) {
    return port.name.empty() ? std::string() : "   " + port.name;
  };
  // Com 1 to Com 9 stay, and name the adapter too: it is often on one of them.
  const Menu& portMenu = *std::find_if(menus_.begin(), menus_.end(), [this](const Menu& menu) {
    return menu.state == &main_.Port1;
  });
  for (std::size_t i = 0; i < portMenu.items.size(); ++i) {
    const MenuItem& item = portMenu.items[i];
    const auto port = std::find_if(present_.begin(), present_.end(), [&](const TPresentPort& p) {
      return p.number == static_cast<int>(i + 1);
    });
    std::string caption = item.state->Caption + (port == present_.end() ? "" : detail(*port));
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STRING;
    info.dwTypeData = caption.data();
    SetMenuItemInfoA(portMenu_, item.id, FALSE, &info);
  }
  std::vector<std::pair<int, std::string>> items;
  for (const TPresentPort& port : present_) {
    if (port.number > kMenuPorts) items.emplace_back(port.number, detail(port));
  }
  const bool checkedPresent = std::any_of(items.begin(), items.end(),
                                          [&](const auto& item) { return item.first == checked; });
  // The technician's choice stands until changed, even if the adapter is out.
  if (checked > kMenuPorts && !checkedPresent) {
    items.emplace_back(checked, " (not present)");
    std::sort(items.begin(), items.end());
  }
  if (items.empty()) return;
  AppendMenuA(portMenu_, MF_SEPARATOR, 0, nullptr);
  for (const auto& [number, detail] : items) {
    const UINT id = IDM_PORT_BASE + static_cast<UINT>(number);
    const std::string caption = "Com " + std::to_string(number) + detail;
    AppendMenuA(portMenu_, MF_STRING | (number == checked ? MF_CHECKED : MF_UNCHECKED), id,
                caption.c_str());
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE;
    info.fType = MFT_STRING | MFT_RADIOCHECK;
    SetMenuItemInfoA(portMenu_, id, FALSE, &info);
  }
}

void MainWindow::CreateControls() {
  const auto make = [this](DWORD exStyle, const char* windowClass, DWORD style, int id,
                           const RECT& place) {
    const HWND control =
        CreateWindowExA(exStyle, windowClass, "", WS_CHILD | style, place.left, place.top,
                        place.right, place.bottom, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    return control;
  };

  memo_ = make(WS_EX_CLIENTEDGE, "EDIT",
               WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
               kMemo, {kWideLeft, 8, kWideWidth, 105});
  // Lines pile up over the runs of a session: lift the edit's default
  // limit of about 32 000 characters.
  SendMessageA(memo_, EM_SETLIMITTEXT, 0, 0);
  for (Bar& bar : bars_) {
    bar.window = make(0, PROGRESS_CLASSA, WS_VISIBLE | PBS_SMOOTH, bar.id,
                      {kWideLeft, bar.top, kWideWidth, 17});
  }
  for (Button& button : buttons_) {
    button.window = make(0, "BUTTON", WS_TABSTOP | BS_PUSHBUTTON, button.id, button.place);
    if (button.id == kStart) start_ = button.window;
  }
  focus_ = start_;
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ != window) {
    return DefWindowProcA(window, message, wParam, lParam);
  }
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = window_;
  switch (message) {
    case WM_COMMAND:
      Command(wParam, lParam);
      return 0;
    case WM_TIMER:
      if (wParam == kTimerId) Tick();
      return 0;
    case WM_INITMENUPOPUP:
      // An adapter plugged in since the last look shows up as the menu opens.
      if (reinterpret_cast<HMENU>(wParam) == portMenu_) {
        present_ = PresentPorts();
        RebuildPortItems();
        return 0;
      }
      break;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      main_.FormPaint();
      RenderTitle();
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      // A read-only edit asks as a static does.
      if (reinterpret_cast<HWND>(lParam) == memo_) {
        const auto dc = reinterpret_cast<HDC>(wParam);
        SetBkColor(dc, GetSysColor(COLOR_MENU));
        SetTextColor(dc, GetSysColor(COLOR_MENUTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_MENU));
      }
      break;
    case WM_ACTIVATE:
      // The keyboard focus goes back where it was after a box or a dialog.
      if (LOWORD(wParam) == WA_INACTIVE) {
        if (const HWND focus = GetFocus(); focus != nullptr && IsChild(window, focus)) {
          focus_ = focus;
        }
      } else {
        // A button disabled or hidden meanwhile cannot take it; Start
        // always can.
        const bool usable = focus_ != nullptr && IsWindowEnabled(focus_) && IsWindowVisible(focus_);
        SetFocus(usable ? focus_ : start_);
      }
      return 0;
    case WM_CLOSE:
      // The system menu, Alt+F4 and the task bar all end here; the engine
      // decides, and its OnClose destroys the window.
      main_.Close();
      return 0;
    case WM_DESTROY:
      KillTimer(window, kTimerId);
      window_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void MainWindow::Command(WPARAM wParam, LPARAM lParam) {
  const int id = LOWORD(wParam);
  if (lParam != 0) {
    if (HIWORD(wParam) != BN_CLICKED) return;
    for (Button& button : buttons_) {
      if (button.id == id) {
        button.click();
        return;
      }
    }
    return;
  }
  if (HIWORD(wParam) != 0) return;  // accelerators: there are none
  if (id > IDM_PORT_BASE + kMenuPorts && id <= IDM_PORT_BASE + kMaxPortNumber) {
    main_.ComClick(id - IDM_PORT_BASE);
    return;
  }
  for (Menu& menu : menus_) {
    for (MenuItem& item : menu.items) {
      if (static_cast<int>(item.id) == id) {
        item.click();
        return;
      }
    }
  }
}

void MainWindow::Tick() {
  // The timer keeps running while a step is under way; a tick that a modal
  // box inside the step dispatches must not start another one.
  if (main_.Timer1.Enabled) main_.Timer1Timer();
  // Armed again from now, so the next tick comes one interval after this
  // step has ended.
  if (window_ != nullptr) {
    SetTimer(window_, kTimerId, static_cast<UINT>(main_.Timer1.Interval), nullptr);
  }
}

void MainWindow::Render() {
  if (window_ == nullptr) return;
  RenderTitle();
  RenderMemo();

  for (Bar& bar : bars_) {
    const TProgressBar& state = *bar.state;
    if (Differs(bar.range, std::pair(state.Min, state.Max))) {
      SendMessageA(bar.window, PBM_SETRANGE32, static_cast<WPARAM>(state.Min), state.Max);
      bar.position.reset();  // the control may have moved it into the new range
    }
    if (Differs(bar.position, state.Position)) {
      SendMessageA(bar.window, PBM_SETPOS, static_cast<WPARAM>(state.Position), 0);
    }
  }

  for (Button& button : buttons_) {
    const TButton& state = *button.state;
    if (Differs(button.caption, state.Caption))
      SetWindowTextA(button.window, state.Caption.c_str());
    if (Differs(button.enabled, state.Enabled)) EnableWindow(button.window, state.Enabled);
    if (Differs(button.visible, state.Visible)) {
      ShowWindow(button.window, state.Visible ? SW_SHOWNA : SW_HIDE);
    }
  }

  bool barChanged = false;
  for (std::size_t position = 0; position < menus_.size(); ++position) {
    Menu& menu = menus_[position];
    if (Differs(menu.enabled, menu.state->Enabled)) {
      EnableMenuItem(menuBar_, static_cast<UINT>(position),
                     MF_BYPOSITION | (menu.state->Enabled ? MF_ENABLED : MF_GRAYED));
      barChanged = true;
    }
    for (MenuItem& item : menu.items) {
      if (Differs(item.checked, item.state->Checked)) {
        CheckMenuItem(menuBar_, item.id,
                      MF_BYCOMMAND | (item.state->Checked ? MF_CHECKED : MF_UNCHECKED));
      }
      if (Differs(item.enabled, item.state->Enabled)) {
        EnableMenuItem(menuBar_, item.id,
                       MF_BYCOMMAND | (item.state->Enabled ? MF_ENABLED : MF_GRAYED));
      }
    }
  }
  if (barChanged) DrawMenuBar(window_);
  if (portItemsFor_ != main_.CheckedPort()) RebuildPortItems();
}

bool MainWindow::HandleKey(const MSG& message) {
  if (window_ == nullptr || message.message != WM_KEYDOWN ||
      (message.hwnd != window_ && IsChild(window_, message.hwnd) == FALSE)) {
    return false;
  }
  if (message.wParam == VK_TAB) {
    MoveFocus(GetKeyState(VK_SHIFT) < 0);
    return true;
  }
  if (message.wParam == VK_RETURN) {
    const HWND focus = GetFocus();
    for (const Button& button : buttons_) {
      if (button.window == focus) {
        SendMessageA(focus, BM_CLICK, 0, 0);
        return true;
      }
    }
  }
  return false;
}

void MainWindow::MoveFocus(bool backwards) {
  // The multi-line status display would keep Tab for itself; the window
  // moves the focus on, round its buttons and the display and back.
  std::vector<HWND> stops{memo_};
  for (const Button& button : buttons_) {
    if (IsWindowVisible(button.window) && IsWindowEnabled(button.window)) {
      stops.push_back(button.window);
    }
  }
  const auto here = std::find(stops.begin(), stops.end(), GetFocus());
  const std::size_t count = stops.size();
  std::size_t next = 0;
  if (here != stops.end()) {
    const auto index = static_cast<std::size_t>(here - stops.begin());
    next = backwards ? (index + count - 1) % count : (index + 1) % count;
  }
  SetFocus(stops[next]);
}

void MainWindow::RenderTitle() {
  if (window_ != nullptr && Differs(title_, main_.Caption)) {
    SetWindowTextA(window_, main_.Caption.c_str());
  }
}

void MainWindow::RenderMemo() {
  const std::vector<std::string>& lines = main_.MemoStatus.Lines;
  if (lines.size() < memoLines_) {
    SetWindowTextA(memo_, "");
    memoLines_ = 0;
  }
  if (lines.size() == memoLines_) return;
  // Only the new lines go in, at the end, so the display does not redraw
  // from the top on every line.
  std::string text;
  for (std::size_t i = memoLines_; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  const int end = GetWindowTextLengthA(memo_);
  SendMessageA(memo_, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageA(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageA(memo_, EM_SCROLLCARET, 0, 0);
  memoLines_ = lines.size();
}
