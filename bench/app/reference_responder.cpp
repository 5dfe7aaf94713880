#include "reference_responder.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "hex/hex.h"

namespace bench {
namespace {

constexpr std::string_view kPrefix = "unitsim: ";

// Undoes the trace's escapes: \r, \n, <ESC> and <NN>.
void Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'r' || text[i + 1] == 'n')) {
      out += text[i + 1] == 'r' ? '\r' : '\n';
      ++i;
    } else if (text.substr(i, 5) == "<ESC>") {
      out += '\x1B';
      i += 4;
    } else if (text[i] == '<' && i + 3 < text.size() && text[i + 3] == '>' &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 3;
    } else {
      out += text[i];
    }
  }
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool ParseUnitTrace(const std::string& trace, std::vector<ReplayStep>& steps, std::string& why) {
  steps.clear();
  std::istringstream in(trace);
  std::string line, replies, bytes;
  while (std::getline(in, line)) {
    if (line.rfind(kPrefix, 0) != 0) continue;
    const std::string_view event = std::string_view(line).substr(kPrefix.size());
    if (event.rfind("rx text ", 0) == 0 || event.rfind("rx block ", 0) == 0) {
      why = "the dialogue holds " + std::string(event.substr(0, event.find(' ', 3)));
      return false;
    }
    if (event.rfind("tx ", 0) == 0) {
      Unescape(event.substr(3), bytes);
      replies += bytes;
    } else if (event.rfind("rx ", 0) == 0) {
      Unescape(event.substr(3), bytes);
      // Call signs repeat until answered; one is enough to answer.
      if (bytes == "%") replies = "%";
      steps.push_back({replies, bytes});
      replies.clear();
    }
  }
  if (!replies.empty()) steps.push_back({replies, ""});
  if (steps.empty()) {
    why = "the trace holds no dialogue";
    return false;
  }
  return true;
}

bool Replay(const std::string& tty, const std::vector<ReplayStep>& steps,
            std::chrono::milliseconds timeout, std::string& why) {
  const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    why = Errno(tty.c_str());
    return false;
  }
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B57600);
  ::cfsetospeed(&t, B57600);
  ::tcsetattr(fd, TCSANOW, &t);

  std::string arrived;
  char buffer[256];
  auto await = [&](const std::string& reply) {
    while (!EndsWith(arrived, reply)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        why = "no reply \"" + reply + "\" in time";
        return false;
      }
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        why = Errno("read");
        return false;
      }
      arrived.append(buffer, static_cast<std::size_t>(n));
    }
    arrived.clear();
    return true;
  };
  bool ok = true;
  for (const ReplayStep& step : steps) {
    if (!(ok = await(step.expect))) break;
    for (std::size_t done = 0; ok && done < step.send.size();) {
      const ssize_t n = ::write(fd, step.send.data() + done, step.send.size() - done);
      if (n <= 0) {
        why = Errno("write");
        ok = false;
      } else {
        done += static_cast<std::size_t>(n);
      }
    }
    if (!ok) break;
  }
  ::close(fd);
  return ok;
}

}  // namespace bench
