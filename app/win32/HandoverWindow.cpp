#include "app/win32/HandoverWindow.h"

namespace {

constexpr char kClassName[] = "QSR470UpdaterHandover";
constexpr UINT kRunWork = WM_APP + 1;

}  // namespace

HandoverWindow::HandoverWindow(HINSTANCE instance)
    // A failed post (a full message queue) leaves the work waiting for the
    // next message or for Close(); the handing thread is never lost.
    : queue_([this] { PostMessageA(window_, kRunWork, 0, 0); }) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &HandoverWindow::WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kClassName;
  // A second instance of this object finds the class already there, which is
  // fine; any other failure shows up as CreateWindowExA failing below.
  RegisterClassA(&windowClass);
  window_ =
      CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (window_ != nullptr)
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

HandoverWindow::~HandoverWindow() {
  Close();
  if (window_ != nullptr) DestroyWindow(window_);
}

bool HandoverWindow::RunOnMainThread(const std::function<void()>& work) {
  if (window_ == nullptr) return false;  // nobody would ever run it
  return queue_.RunOnMainThread(work);
}

LRESULT CALLBACK HandoverWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == kRunWork) {
    auto* self = reinterpret_cast<HandoverWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    // A deadline in the past: run what waits, never block the window's thread.
    if (self != nullptr) self->queue_.WaitAndRunUntil(std::chrono::steady_clock::now());
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}
