#include "link/ComThread.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/handover.h"

namespace {

struct LinkState {
  std::mutex lock;
  // Signalled on every change the thread may be waiting for.
  std::condition_variable changed;

  int port = 1;
  std::string device;
  bool open = false;
  std::string outgoing;
  std::string incoming;
  // The running thread's port component, woken out of its idle wait by
  // every change the thread must act on.
  TCommPortDriver* idleDriver = nullptr;
  // How often the open flag was cleared: a pause after a failed open ends
  // when the operator stopped in between, even if a new run set it again.
  std::uint64_t clears = 0;
};

LinkState& State() {
  static LinkState state;
  return state;
}

// Called with the lock held.
void WakeThread(LinkState& s) {
  s.changed.notify_all();
  if (s.idleDriver != nullptr) s.idleDriver->InterruptWait();
}

// The longest the thread sleeps between idle cycles of an open port. Every
// change it must act on ends the sleep at once, so this is only a bound.
constexpr std::uint32_t kIdleWaitMs = 1000;

std::optional<std::string> TakeOutgoingText() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  if (s.outgoing.empty()) return std::nullopt;
  return std::exchange(s.outgoing, std::string());
}

bool IncomingEmpty() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  return s.incoming.empty();
}

void StoreIncoming(std::string text) {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.incoming = std::move(text);
}

}  // namespace

void InitLinkState() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.port = 1;
  s.device.clear();
  s.open = false;
  s.outgoing.clear();
  s.incoming.clear();
}

void SelectComPort(int n) {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.port = n >= 1 && n <= kMaxComPortNumber ? n : 1;
}

void SelectComDevice(std::string path) {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.device = std::move(path);
}

int LinkComPort() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  return s.port;
}

std::string LinkComDevice() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  return s.device;
}

void SetLinkOpen(bool flag) {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.open = flag;
  if (!flag) ++s.clears;
  WakeThread(s);
}

bool LinkOpen() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  return s.open;
}

void PutOutgoing(std::string text) {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.outgoing = std::move(text);
  WakeThread(s);
}

std::string TakeIncoming() {
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  s.changed.notify_all();
  return std::exchange(s.incoming, std::string());
}

ComThread::ComThread(platform::MainThreadHandover& handover,
                     std::chrono::milliseconds openRetryPause)
    : handover_(handover), openRetryPause_(openRetryPause) {
  InitLinkState();
  driver_ = std::make_unique<TCommPortDriver>();
  driver_->SetComPort(pnCOM1);
  driver_->SetComPortSpeed(br57600);
  // Never released: nothing but this thread may consume received bytes.
  driver_->HoldPolling();
  // Reads take only what is already there; a cycle lasts about a tick.
  driver_->SetInputTimeout(0);
  driver_->SetComPortPollingDelay(65535);
  {
    LinkState& s = State();
    std::lock_guard guard(s.lock);
    s.idleDriver = driver_.get();
  }
  thread_ = std::thread([this] { Execute(); });
}

ComThread::~ComThread() {
  stop_ = true;
  Wake();
  handover_.Close();
  thread_.join();
  {
    LinkState& s = State();
    std::lock_guard guard(s.lock);
    s.idleDriver = nullptr;
  }
  driver_->ClosePort();
}

void ComThread::SetFastSpeed() {
  RequestSpeed(br57600);
}

void ComThread::SetSlowSpeed() {
  RequestSpeed(br19200);
}

void ComThread::RequestSpeed(TComPortBaudRate speed) {
  requestedSpeed_ = speed;
  Wake();
}

void ComThread::Wake() {
  // Taking the lock orders this against a waiter between its check and its
  // wait, so the wake-up cannot be lost.
  LinkState& s = State();
  std::lock_guard guard(s.lock);
  WakeThread(s);
}

void ComThread::Execute() {
  LinkState& s = State();
  while (!stop_) {
    ApplyRequestedSpeed();
    const PortState port = driver_->PortOpen() ? PortState::kOpen : PortState::kClosed;
    const bool openFlag = LinkOpen();
    switch (port) {
      case PortState::kClosed: {
        std::unique_lock guard(s.lock);
        if (lostAtClears_ && *lostAtClears_ != s.clears) lostAtClears_.reset();
        if (openFlag && !lostAtClears_) {
          guard.unlock();
          OpenSelectedPort();
        } else {
          // A lost line is not opened again behind the run's back: the run
          // has been told, and it decides.
          s.changed.wait(guard, [&] {
            return stop_ || (s.open && !(lostAtClears_ && *lostAtClears_ == s.clears));
          });
        }
        break;
      }
      case PortState::kOpen:
        if (openFlag) {
          Transfer();
        } else {
          driver_->ClosePort();
        }
        break;
    }
  }
}

void ComThread::ApplyRequestedSpeed() {
  const int speed = requestedSpeed_.exchange(-1);
  if (speed >= 0) driver_->SetComPortSpeed(static_cast<TComPortBaudRate>(speed));
}

void ComThread::OpenSelectedPort() {
  LinkState& s = State();
  std::uint64_t clearsBefore = 0;
  {
    std::lock_guard guard(s.lock);
    if (s.port <= pnCOM16 + 1) {
      driver_->SetComPort(static_cast<TComPortNumber>(s.port - 1));
      driver_->SetDevicePath(s.device);
    } else {
      driver_->SetDevicePath(s.device.empty() ? PortDeviceName(s.port) : s.device);
    }
    clearsBefore = s.clears;
  }
  // A run asks for its speed before it sets the open flag; taking the request
  // here, rather than on the next cycle, keeps the port from opening at the
  // speed a stopped run left and the unit's call signs from arriving garbled.
  ApplyRequestedSpeed();
  if (driver_->OpenPort()) return;

  const std::string detail = driver_->LastError();
  handover_.RunOnMainThread([&] {
    if (OnOpenError) OnOpenError(this, kOpenErrorText, detail);
  });
  // Trying again at once would put the next message up before the operator
  // could reach STOP.
  std::unique_lock guard(s.lock);
  s.changed.wait_for(guard, openRetryPause_,
                     [&] { return stop_ || !s.open || s.clears != clearsBefore; });
}

void ComThread::Transfer() {
  // Whether the whole text went out is not looked at: the unit's reply, or
  // its absence, tells the handler.
  if (const std::optional<std::string> text = TakeOutgoingText()) {
    // A speed asked for before this text was put must be in force before it
    // goes: the unit acknowledges a speed change at the old speed and listens
    // at the new one from then on. Both may arrive just after the cycle's own
    // take of the request at its start, so the request is taken again here.
    ApplyRequestedSpeed();
    driver_->WriteText(*text);
  }
  if (driver_->LineLost()) {
    ReportLineLost();
    return;
  }

  if (!IncomingEmpty()) {
    // Received bytes wait in the port's queue until the main thread has
    // taken the last piece; sleep until something changes.
    LinkState& s = State();
    std::unique_lock guard(s.lock);
    s.changed.wait(guard, [&] {
      return stop_ || s.incoming.empty() || !s.outgoing.empty() || !s.open || requestedSpeed_ >= 0;
    });
    return;
  }

  const std::uint32_t count = driver_->ReadBytes(readBuffer_.data(), readBuffer_.size());
  if (count == 0) {
    if (driver_->LineLost()) {
      ReportLineLost();
      return;
    }
    // Nothing came: rather than start the next cycle at once, sleep until
    // the line or the link state has something for the thread.
    driver_->WaitForInput(kIdleWaitMs);
    if (driver_->LineLost()) ReportLineLost();
    return;
  }
  // The text ends at the first NUL; what follows it in this read is dropped.
  const auto* begin = readBuffer_.data();
  const auto* end = std::find(begin, begin + count, std::uint8_t{0});
  StoreIncoming(std::string(begin, end));
  handover_.RunOnMainThread([this] {
    if (OnIncoming) OnIncoming(this);
  });
}

void ComThread::ReportLineLost() {
  const std::string reason = driver_->LastError();
  driver_->ClosePort();
  {
    LinkState& s = State();
    std::lock_guard guard(s.lock);
    lostAtClears_ = s.clears;
  }
  handover_.RunOnMainThread([&] {
    if (OnLineLost) OnLineLost(this, reason);
  });
}
