#pragma once

// The technician's window around the engine: it mirrors TMainFich's controls
// on screen (only what changed since the last look, so nothing flickers),
// forwards clicks and timer ticks to it, and carries out its requests.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/SerialLink.h"
#include "app/main.h"
#include "app/win32/GdiHandles.h"

namespace platform {
class MainThreadHandover;
}

// The program's modal error box.
void ShowErrorBox(HWND owner, const std::string& text);

class MainWindow {
 public:
  // Takes over `main`'s requests to its front end. `handover` is closed as
  // soon as the window closes: from then on no hand-over may run.
  MainWindow(TMainFich& main, platform::MainThreadHandover& handover, HINSTANCE instance);
  // Hands `main` its requests back empty; destroys the window if it is
  // still there.
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Makes the window with its controls and menus, starts the timer and shows
  // it. False when the system would not make it.
  bool Create(int showCommand);
  // nullptr once the window is gone.
  HWND Handle() const { return window_; }
  // The window's own keys, before the message loop translates them: Tab and
  // Shift+Tab move round the buttons and the status display, Enter presses
  // the focused button. True when `message` was one of them.
  bool HandleKey(const MSG& message);

 private:
  template <typename T>
  static bool Differs(std::optional<T>& shown, const T& now) {
    if (shown == now) return false;
    shown = now;
    return true;
  }

  struct Button {
    TButton* state;
    int id;
    RECT place;  // left, top, width, height
    std::function<void()> click;
    HWND window = nullptr;
    std::optional<std::string> caption{};
    std::optional<bool> enabled{}, visible{};
  };
  struct Bar {
    TProgressBar* state;
    int id;
    int top;
    HWND window = nullptr;
    std::optional<std::pair<int, int>> range{};
    std::optional<int> position{};
  };
  struct MenuItem {
    TMenuItem* state;
    UINT id;
    std::function<void()> click;
    std::optional<bool> checked{}, enabled{};
  };
  struct Menu {
    TMenuItem* state;
    std::vector<MenuItem> items;
    std::optional<bool> enabled{};
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  HMENU BuildMenu();
  void CreateControls();
  void Command(WPARAM wParam, LPARAM lParam);
  void Tick();
  void Render();
  void RenderTitle();
  void RenderMemo();
  // The Port menu's items after Com 9: one per port present above it, and
  // the checked port should it have gone.
  void RebuildPortItems();
  void MoveFocus(bool backwards);

  TMainFich& main_;
  platform::MainThreadHandover& handover_;
  HINSTANCE instance_;
  HWND window_ = nullptr;
  HMENU menuBar_ = nullptr;
  HWND memo_ = nullptr;
  HWND start_ = nullptr;  // never disabled nor hidden
  HWND focus_ = nullptr;  // the control to give the focus back to
  FontHandle font_;
  std::vector<Button> buttons_;
  std::vector<Bar> bars_;
  std::vector<Menu> menus_;
  std::optional<std::string> title_;
  std::size_t memoLines_ = 0;
  HMENU portMenu_ = nullptr;
  std::vector<TPresentPort> present_;  // as last looked up
  std::optional<int> portItemsFor_;    // the checked port the items show
};
