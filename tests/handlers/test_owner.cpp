#include "test_owner.h"

#include <atomic>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "platform/files.h"
#include "platform/tick.h"

void TestOwner::Attach(TGestionnaire& handler) {
  handlers_.push_back(&handler);
  handler.OnSend = [this](TGestionnaire* h) {
    events.push_back("Send");
    sent.push_back(h->SendText());
    if (unit) unit(h->SendText());
  };
  handler.OnChangeBufIn = [this](TGestionnaire* h) {
    events.push_back("ChangeBufIn");
    rx = h->BufIn();
  };
  handler.OnReceive = [this](TGestionnaire* h) {
    events.push_back("Receive");
    h->SetBufIn(rx);
  };
  handler.OnStepProgress = [this](TGestionnaire*) {
    events.push_back("StepProgress");
    ++progressSteps;
  };
  handler.OnChangeMaxProgress = [this](TGestionnaire* h) {
    events.push_back("ChangeMaxProgress");
    progressMax = h->MaxProgress();
  };
  handler.OnInfo = [this](TGestionnaire* h) {
    events.push_back("Info");
    infos.push_back(h->InfoText());
    ShowLine(h->InfoText());
  };
  handler.OnError = [this](TGestionnaire* h) {
    events.push_back("Error");
    errors.push_back(h->ErrorText());
    lastError = h->ErrorText();
    stopped = true;
    ShowLine(h->ErrorText());
  };
  handler.OnChangeBusy = [this](TGestionnaire* h) {
    events.push_back("ChangeBusy");
    busy = h->Busy();
  };
  handler.OnChangeDeviceID = [this](TGestionnaire* h) {
    events.push_back("ChangeDeviceID");
    deviceID = h->DeviceID();
    updateAllowed = allowDevice(deviceID);
    for (TGestionnaire* each : handlers_)
      each->SetUpdateAllowed(updateAllowed);
  };
  handler.OnSpeedUp = [this](TGestionnaire*) {
    events.push_back("SpeedUp");
    ++speedUps;
  };
  handler.OnSpeedDown = [this](TGestionnaire*) {
    events.push_back("SpeedDown");
    ++speedDowns;
  };
}

void TestOwner::VersionSame(std::int32_t component) {
  events.push_back("VersionSame");
  versionsSame.push_back(component);
}

void TestOwner::ClearRecords() {
  sent.clear();
  infos.clear();
  errors.clear();
  status.clear();
  versionsSame.clear();
  events.clear();
}

void TestOwner::ShowLine(const std::string& text) {
  const std::string last = status.empty() ? std::string() : status.back();
  if (text != last) status.push_back(text);
}

FakeClock::FakeClock(std::uint32_t start) : now(start) {
  platform::SetTickSource([this] { return now; });
  platform::SetSleepHook([this](std::uint32_t ms) {
    sleeps.push_back(ms);
    now += ms;
  });
}

FakeClock::~FakeClock() {
  platform::SetTickSource({});
  platform::SetSleepHook({});
}

namespace {
std::atomic<int> folderCounter{0};
}

TempFolder::TempFolder() {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() /
      ("qsr470-handlers-" + std::to_string(::getpid()) + "-" + std::to_string(folderCounter++));
  fs::create_directories(dir);
  path_ = dir.string();
  path_ += platform::PathSeparator();
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::Write(const std::string& name, const std::string& bytes) const {
  const std::string path = path_ + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}
