#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

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
