#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/LinkPort.h"

namespace platform {
class MainThreadHandover;
}

// The product's link: the communication thread and the link state it shares
// with the window. `handover` must outlive the link. `onOpenError` is the
// "Error while opening " box (the message, and the system's reason), run on
// the main thread once per failed open;
// the thread waits for it to return. `device` names a serial device to open
// instead of the selected port number.
std::unique_ptr<TLinkPort> MakeSerialLink(
    platform::MainThreadHandover& handover,
    std::function<void(const std::string&, const std::string&)> onOpenError,
    std::optional<std::string> device);

// A serial port present on this machine: `number` is what a run selects (0
// when no number reaches it, only `path`), `name` what the system calls it
// (may be empty).
struct TPresentPort {
  int number = 0;
  std::string name;
  std::string path;
};
// In number order, then the ports no number reaches, by name.
std::vector<TPresentPort> PresentPorts();
