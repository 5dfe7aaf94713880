#pragma once

// Owners for the GDI and USER handles the window and its dialogs make.

#include <windows.h>

#include <memory>
#include <type_traits>

struct FontDeleter {
  void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

struct IconDeleter {
  void operator()(HICON icon) const { DestroyIcon(icon); }
};
using IconHandle = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

// MS Sans Serif at `height` pixels of character height, whatever the
// screen's font size: the layouts are in pixels.
inline FontHandle MakeFont(int height) {
  return FontHandle(CreateFontA(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_SWISS, "MS Sans Serif"));
}
