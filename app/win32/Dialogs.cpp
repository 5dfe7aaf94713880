#include "app/win32/Dialogs.h"

#include <algorithm>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "app/About.h"
#include "app/CompDlg.h"
#include "app/win32/GdiHandles.h"
#include "app/win32/resource.h"

namespace {

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kStaticClass = 0x0082;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;

// Positions are client-area pixels.
struct ControlLayout {
  int id;
  WORD windowClass;
  DWORD style;
  int x, y, width, height;
  bool fitText = false;  // a label: as large as its text, at most width x height
};

struct DialogLayout {
  int clientWidth, clientHeight;
  int fontHeight;  // pixels
  std::span<const ControlLayout> controls;
};

// One showing of a dialog: what its procedure needs.
struct DialogRun {
  const DialogLayout& layout;
  HWND centreOn;                      // nullptr: the screen
  std::function<void(HWND)> setUp;    // texts and states, before the layout
  std::function<void(HWND)> collect;  // read the states back
  HFONT font = nullptr;
  int iconId = 0;  // an owner-drawn control showing `icon`
  HICON icon = nullptr;
};

// Writes the words of a dialog template into a buffer sized up front (a
// growing vector of words trips gcc 12's overflow checker on correct code).
class TemplateWriter {
 public:
  explicit TemplateWriter(std::size_t capacity) : words_(capacity) {}
  void Word(WORD value) { words_.at(size_++) = value; }
  void Dword(DWORD value) {
    Word(LOWORD(value));
    Word(HIWORD(value));
  }
  void AlignToDword() {
    if (size_ % 2 != 0) Word(0);
  }
  std::vector<WORD> Take() {
    words_.resize(size_);
    return std::move(words_);
  }

 private:
  std::vector<WORD> words_;
  std::size_t size_ = 0;
};

// A dialog template with every control at size zero and no text: the layout
// is applied in pixels once the dialog exists, so it does not depend on the
// dialog-unit conversion of whatever font the system would pick.
std::vector<WORD> BuildTemplate(std::span<const ControlLayout> controls) {
  constexpr std::size_t kHeaderWords = 12;
  constexpr std::size_t kControlWords = 14;  // with its alignment
  TemplateWriter out(kHeaderWords + kControlWords * controls.size());
  out.Dword(kDialogStyle);
  out.Dword(0);  // extended style
  out.Word(static_cast<WORD>(controls.size()));
  for (int i = 0; i < 4; ++i)
    out.Word(0);  // position and size
  out.Word(0);    // no menu
  out.Word(0);    // the standard dialog class
  out.Word(0);    // no title
  for (const ControlLayout& control : controls) {
    out.AlignToDword();
    out.Dword(control.style);
    out.Dword(0);  // extended style
    for (int i = 0; i < 4; ++i)
      out.Word(0);
    out.Word(static_cast<WORD>(control.id));
    out.Word(0xFFFF);  // a predefined class, by its number
    out.Word(control.windowClass);
    out.Word(0);  // no text
    out.Word(0);  // no creation data
  }
  return out.Take();
}

// The size `control`'s text takes when it may wrap at `width`.
SIZE TextSize(HWND control, HFONT font, int width) {
  char text[256] = {};
  GetWindowTextA(control, text, sizeof text);
  RECT bounds{0, 0, width, 0};
  if (HDC dc = GetDC(control)) {
    const HGDIOBJ old = SelectObject(dc, font);
    DrawTextA(dc, text, -1, &bounds, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
  }
  return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

void ApplyLayout(HWND dialog, const DialogRun& run) {
  const DialogLayout& layout = run.layout;
  RECT frame{0, 0, layout.clientWidth, layout.clientHeight};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_EXSTYLE)));
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (run.centreOn != nullptr) GetWindowRect(run.centreOn, &area);
  SetWindowPos(dialog, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, width, height,
               SWP_NOZORDER | SWP_NOACTIVATE);

  for (const ControlLayout& c : layout.controls) {
    const HWND control = GetDlgItem(dialog, c.id);
    if (control == nullptr) continue;
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(run.font), FALSE);
    int w = c.width;
    int h = c.height;
    if (c.fitText) {
      const SIZE text = TextSize(control, run.font, w);
      w = std::min<int>(w, text.cx);
      h = std::min<int>(h, text.cy);
    }
    MoveWindow(control, c.x, c.y, w, h, FALSE);
  }
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* run = reinterpret_cast<DialogRun*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      run = reinterpret_cast<DialogRun*>(lParam);
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      run->setUp(dialog);
      ApplyLayout(dialog, *run);
      return TRUE;
    case WM_COMMAND:
      if (run == nullptr || HIWORD(wParam) != BN_CLICKED) return FALSE;
      if (run->collect) run->collect(dialog);
      // IDCANCEL is Esc and the close box: with no Cancel, it closes as OK.
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(dialog, IDOK);
      return TRUE;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (run == nullptr || run->icon == nullptr || static_cast<int>(item->CtlID) != run->iconId) {
        return FALSE;
      }
      const RECT& r = item->rcItem;
      FillRect(item->hDC, &r, GetSysColorBrush(COLOR_BTNFACE));
      DrawIconEx(item->hDC, r.left, r.top, run->icon, r.right - r.left, r.bottom - r.top, 0,
                 nullptr, DI_NORMAL);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

void RunDialog(HINSTANCE instance, HWND owner, DialogRun& run) {
  const std::vector<WORD> dialogTemplate = BuildTemplate(run.layout.controls);
  const FontHandle font = MakeFont(run.layout.fontHeight);
  run.font = font.get();
  DialogBoxIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()), owner,
                          &DialogProc, reinterpret_cast<LPARAM>(&run));
}

// --- component selection ---

enum : int { kGroupBox = 200, kKeyb = IDC_CB_KEYB, kProm1 = IDC_CB_PROM1, kProm2 = IDC_CB_PROM2 };

// The group box comes last: the first control is the top of the stacking
// order, and the box must not paint over the check boxes it holds.
constexpr ControlLayout kCompSelControls[] = {
    {kKeyb, kButtonClass, kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 112, 24, 73, 17},
    {kProm1, kButtonClass, kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 112, 52, 73, 17},
    {kProm2, kButtonClass, kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 112, 80, 73, 17},
    {IDOK, kButtonClass, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 75, 112, 154, 33},
    {kGroupBox, kButtonClass, kChild | BS_GROUPBOX, 8, 4, 297, 161},
};
constexpr DialogLayout kCompSel{313, 171, 11, kCompSelControls};

// --- About box ---

enum : int { kPanel = 300, kIcon, kTitle, kVersion = IDC_ABOUT_VERSION, kComment };

// Labels end inside the panel, whose inner edge is at 231; the third one may
// take a second line above the button should its text need it.
constexpr ControlLayout kAboutControls[] = {
    {kIcon, kStaticClass, kChild | SS_OWNERDRAW, 16, 24, 41, 41},
    {kTitle, kStaticClass, kChild | SS_LEFT | SS_NOPREFIX, 68, 24, 231 - 68, 16, true},
    {kVersion, kStaticClass, kChild | SS_LEFT | SS_NOPREFIX, 96, 44, 231 - 96, 16, true},
    {kComment, kStaticClass, kChild | SS_LEFT | SS_NOPREFIX, 80, 60, 231 - 80, 36, true},
    {IDOK, kButtonClass, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 87, 100, 75, 25},
    {kPanel, kStaticClass, kChild | SS_ETCHEDFRAME, 8, 8, 225, 129},
};
constexpr DialogLayout kAbout{242, 146, 11, kAboutControls};

}  // namespace

void ShowCompSelDialog(HINSTANCE instance, HWND owner, TCompSelDlg& dialog) {
  const std::pair<int, TCheckBox*> boxes[] = {
      {kKeyb, &dialog.CBKeyb}, {kProm1, &dialog.CBProm1}, {kProm2, &dialog.CBProm2}};
  DialogRun run{kCompSel, nullptr,
                [&](HWND window) {
                  SetWindowTextA(window, TCompSelDlg::kTitle);
                  SetDlgItemTextA(window, kGroupBox, TCompSelDlg::kGroupCaption);
                  SetDlgItemTextA(window, IDOK, "OK");
                  for (const auto& [id, box] : boxes) {
                    SetDlgItemTextA(window, id, box->Caption.c_str());
                    CheckDlgButton(window, id, box->Checked ? BST_CHECKED : BST_UNCHECKED);
                  }
                },
                [&](HWND window) {
                  for (const auto& [id, box] : boxes)
                    box->Checked = IsDlgButtonChecked(window, id) == BST_CHECKED;
                }};
  RunDialog(instance, owner, run);
}

void ShowAboutBox(HINSTANCE instance, HWND owner, const TAboutBox& box) {
  const IconHandle icon(static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(IDI_UPDATER), IMAGE_ICON, 32, 32, 0)));
  DialogRun run{kAbout, owner,
                [&](HWND window) {
                  SetWindowTextA(window, box.Caption.c_str());
                  SetDlgItemTextA(window, kTitle, box.LTitle.c_str());
                  SetDlgItemTextA(window, kVersion, box.LVersion.c_str());
                  SetDlgItemTextA(window, kComment, box.LComment.c_str());
                  SetDlgItemTextA(window, IDOK, "OK");
                },
                nullptr};
  run.iconId = kIcon;
  run.icon = icon.get();
  RunDialog(instance, owner, run);
}
