#include "app/win32/HandoverWindow.h"

namespace {

constexpr char kClassName[] = "QSR470UpdaterHandover";
constexpr UINT kRunWork = WM_APP + 1;

}  // namespace

HandoverWindow::HandoverWindow(HINSTANCE instance) {
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
  // The item lives on this caller's stack and this function does not return
  // before the main thread is done with it or has dropped it.
  Item item{&work};
  std::unique_lock lock(mutex_);
  if (closed_ || window_ == nullptr) return false;
  queue_.push_back(&item);
  // One message per item: the main thread runs one item per message.
  if (!PostMessageA(window_, kRunWork, 0, 0)) {
    // The message queue is full or the window is gone: nobody would run it.
    std::erase(queue_, &item);
    return false;
  }
  finished_.wait(lock, [&] { return item.done || item.cancelled; });
  return item.done;
}

void HandoverWindow::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (Item* item : queue_)
    item->cancelled = true;
  queue_.clear();
  finished_.notify_all();
}

void HandoverWindow::RunOne() {
  Item* item = nullptr;
  {
    std::lock_guard lock(mutex_);
    // The item of this message may have been cancelled by Close().
    if (queue_.empty()) return;
    item = queue_.front();
    queue_.pop_front();
  }
  // The caller must be released even when the work throws, or it would wait
  // for ever.
  struct MarkDone {
    HandoverWindow& owner;
    Item* item;
    ~MarkDone() {
      std::lock_guard lock(owner.mutex_);
      item->done = true;
      owner.finished_.notify_all();
    }
  } mark{*this, item};
  (*item->work)();
}

LRESULT CALLBACK HandoverWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == kRunWork) {
    auto* self = reinterpret_cast<HandoverWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self != nullptr) self->RunOne();
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}
