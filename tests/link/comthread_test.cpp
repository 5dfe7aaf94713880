// The communication thread against a pseudo-terminal, with the test as the
// main thread: it serves the hand-over and plays the unit on the master side.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/ComThread.h"
#include "platform/handover.h"
#include "pty.h"

namespace linktest {
namespace {

using std::chrono::milliseconds;

class ComThreadTest : public ::testing::Test {
 protected:
  platform::HandoverQueue handover;
  Pty pty;
  std::unique_ptr<ComThread> thread;
  std::vector<std::string> pieces;  // what OnIncoming found, in order

  void Start(milliseconds retryPause = milliseconds(1000)) {
    thread = std::make_unique<ComThread>(handover, retryPause);
    thread->OnIncoming = [this](ComThread* sender) {
      EXPECT_EQ(sender, thread.get());
      pieces.push_back(TakeIncoming());
    };
    SelectComDevice(pty.SlavePath());
  }
  // Sets the open flag and waits until the port is open: bytes that reach it
  // earlier are discarded when the line is set up.
  void OpenLink() {
    SetLinkOpen(true);
    PutOutgoing("?");
    ASSERT_EQ(UnitReceives(1), "?");
  }
  void TearDown() override {
    thread.reset();
    SetLinkOpen(false);
  }

  // Serves the hand-over while the unit side waits for `count` bytes.
  std::string UnitReceives(std::size_t count, Pty& unit) {
    std::string got;
    WaitFor([&] { return got.size() >= count; },
            [&] {
              handover.WaitAndRunOne(milliseconds(1));
              got += unit.Receive(milliseconds(5));
            });
    return got;
  }
  std::string UnitReceives(std::size_t count) { return UnitReceives(count, pty); }
  // Serves the hand-over until the pieces received add up to `count` bytes.
  std::string Joined(std::size_t count) {
    std::string joined;
    WaitFor(
        [&] {
          joined.clear();
          for (const auto& piece : pieces)
            joined += piece;
          return joined.size() >= count;
        },
        [&] { handover.WaitAndRunOne(milliseconds(10)); });
    return joined;
  }
  void Serve(const std::function<bool()>& done) {
    ASSERT_TRUE(WaitFor(done, [&] { handover.WaitAndRunOne(milliseconds(10)); }));
  }
};

TEST_F(ComThreadTest, PutTextIsWrittenOnce) {
  Start();
  SetLinkOpen(true);
  PutOutgoing("SYN");
  EXPECT_EQ(UnitReceives(3), "SYN");
  PutOutgoing("17");
  EXPECT_EQ(UnitReceives(2), "17");  // not "SYN" again
}

TEST_F(ComThreadTest, TextPutTwiceBeforeTheThreadTookItIsReplaced) {
  Start();
  PutOutgoing("first");
  PutOutgoing("second");
  SetLinkOpen(true);  // the port opens only now, so "first" cannot have gone
  EXPECT_EQ(UnitReceives(6), "second");
  PutOutgoing("!");
  EXPECT_EQ(UnitReceives(1), "!");  // and nothing of "first" came in between
}

TEST_F(ComThreadTest, TextPutWhileClosedIsWrittenAfterTheNextOpen) {
  Start();
  SetLinkOpen(true);
  PutOutgoing("hello");
  ASSERT_EQ(UnitReceives(5), "hello");
  SetLinkOpen(false);
  ASSERT_TRUE(pty.WaitSlaveClosed());
  PutOutgoing("again");
  SetLinkOpen(true);
  EXPECT_EQ(UnitReceives(5), "again");
}

TEST_F(ComThreadTest, LongReplyArrivesInOrderInPiecesOfAtMostAHundredBytes) {
  Start();
  OpenLink();
  std::string reply;
  for (int i = 0; i < 250; ++i)
    reply += static_cast<char>('!' + i % 90);
  pty.Send(reply);
  EXPECT_EQ(Joined(250), reply);
  EXPECT_GE(pieces.size(), 3u);
  for (const auto& piece : pieces)
    EXPECT_LE(piece.size(), 100u);
}

TEST_F(ComThreadTest, NulEndsThePieceAndDropsTheRestOfThatRead) {
  Start();
  OpenLink();
  pty.Send(std::string("ab\0cd", 5));
  Serve([&] { return pieces.size() == 1; });
  pty.Send(std::string("\0xyz", 4));
  Serve([&] { return pieces.size() == 2; });
  pty.Send("ef");
  Serve([&] { return pieces.size() == 3; });
  EXPECT_EQ(pieces, (std::vector<std::string>{"ab", "", "ef"}));
}

TEST_F(ComThreadTest, NothingIsReadWhileTheLastPieceWaitsToBeTaken) {
  Start();
  int notified = 0;
  thread->OnIncoming = [&](ComThread*) { ++notified; };  // takes nothing
  OpenLink();
  pty.Send("one");
  Serve([&] { return notified == 1; });
  pty.Send("two");
  PutOutgoing("ping");  // wakes the thread; it writes but must not read
  ASSERT_EQ(UnitReceives(4), "ping");
  EXPECT_EQ(TakeIncoming(), "one");
  Serve([&] { return notified == 2; });
  EXPECT_EQ(TakeIncoming(), "two");
}

TEST_F(ComThreadTest, SpeedChangesReachTheOpenLine) {
  Start();
  SetLinkOpen(true);
  PutOutgoing("x");
  ASSERT_EQ(UnitReceives(1), "x");
  const termios before = pty.SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&before), B57600);
  thread->SetSlowSpeed();
  Serve([&] {
    const termios tio = pty.SlaveSettings();
    return ::cfgetospeed(&tio) == B19200;
  });
  thread->SetFastSpeed();
  Serve([&] {
    const termios tio = pty.SlaveSettings();
    return ::cfgetospeed(&tio) == B57600;
  });
}

TEST_F(ComThreadTest, SpeedChosenWhileClosedIsUsedAtTheNextOpen) {
  Start();
  thread->SetSlowSpeed();
  SetLinkOpen(true);
  PutOutgoing("x");
  ASSERT_EQ(UnitReceives(1), "x");
  const termios tio = pty.SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&tio), B19200);
}

TEST_F(ComThreadTest, ClearingTheOpenFlagClosesThePort) {
  Start();
  SetLinkOpen(true);
  PutOutgoing("x");
  ASSERT_EQ(UnitReceives(1), "x");
  SetLinkOpen(false);
  EXPECT_TRUE(pty.WaitSlaveClosed());
}

TEST_F(ComThreadTest, EachFailedOpenShowsTheMessageOnceThenTriesAgain) {
  std::vector<std::string> details;
  Start(milliseconds(0));
  thread->OnOpenError = [&](ComThread*, const std::string& message, const std::string& detail) {
    EXPECT_EQ(message, "Error while opening ");
    details.push_back(detail);
    // The next attempt gets a device of its own, so every message can be
    // traced to the attempt that failed.
    if (details.size() < 3) {
      SelectComDevice("/nonexistent/tty" + std::to_string(details.size()));
    } else {
      SelectComDevice(pty.SlavePath());
    }
  };
  SelectComDevice("/nonexistent/tty0");
  SetLinkOpen(true);
  PutOutgoing("opened");
  ASSERT_EQ(UnitReceives(6), "opened");
  ASSERT_EQ(details.size(), 3u);
  for (std::size_t i = 0; i < details.size(); ++i) {
    EXPECT_NE(details[i].find("/nonexistent/tty" + std::to_string(i)), std::string::npos)
        << details[i];
  }
}

TEST_F(ComThreadTest, StoppingDuringThePauseAfterAFailedOpenEndsThePause) {
  Start(std::chrono::hours(1));
  int messages = 0;
  thread->OnOpenError = [&](ComThread*, const std::string&, const std::string&) {
    ++messages;
    // The operator presses STOP, then START again with a working port, all
    // before the thread looks at the flag.
    SetLinkOpen(false);
    SelectComDevice(pty.SlavePath());
    SetLinkOpen(true);
  };
  SelectComDevice("/nonexistent/tty");
  SetLinkOpen(true);
  PutOutgoing("retried");
  EXPECT_EQ(UnitReceives(7), "retried");
  EXPECT_EQ(messages, 1);
}

TEST_F(ComThreadTest, PortNumberSelectsTheDeviceOfThatNumber) {
  Pty com1, com9, com16, com255;
  ::setenv("QSR470_COM1", com1.SlavePath().c_str(), 1);
  ::setenv("QSR470_COM9", com9.SlavePath().c_str(), 1);
  ::setenv("QSR470_COM16", com16.SlavePath().c_str(), 1);
  ::setenv("QSR470_COM255", com255.SlavePath().c_str(), 1);
  Start();
  SelectComDevice("");
  const struct {
    int n;
    Pty& unit;
  } cases[] = {{9, com9}, {16, com16}, {255, com255}, {0, com1}, {256, com1}};
  for (const auto& c : cases) {
    SelectComPort(c.n);
    SetLinkOpen(true);
    PutOutgoing("n" + std::to_string(c.n));
    const std::string expected = "n" + std::to_string(c.n);
    EXPECT_EQ(UnitReceives(expected.size(), c.unit), expected);
    SetLinkOpen(false);
    EXPECT_TRUE(c.unit.WaitSlaveClosed());
  }
  thread.reset();
  ::unsetenv("QSR470_COM1");
  ::unsetenv("QSR470_COM9");
  ::unsetenv("QSR470_COM16");
  ::unsetenv("QSR470_COM255");
}

TEST_F(ComThreadTest, EndsWhileANotificationWaitsForTheMainThread) {
  Start();
  SetLinkOpen(true);
  PutOutgoing("x");
  ASSERT_EQ(UnitReceives(1), "x");
  pty.Send("unserved");  // the thread hands this over; nobody serves it
  thread.reset();        // must not wait for ever
  EXPECT_TRUE(handover.Closed());
}

TEST(LinkState, SelectComPortTakesEveryWindowsPortNumberAndMapsTheRestToComOne) {
  InitLinkState();
  const struct {
    int n;
    int port;
  } cases[] = {{1, 1}, {2, 2}, {9, 9}, {16, 16}, {17, 17}, {255, 255}, {0, 1}, {256, 1}, {-1, 1}};
  for (const auto& c : cases) {
    SelectComPort(5);
    SelectComPort(c.n);
    EXPECT_EQ(LinkComPort(), c.port) << c.n;
  }
}

TEST(LinkState, SlotsTakeAndReplace) {
  InitLinkState();
  EXPECT_FALSE(LinkOpen());
  EXPECT_EQ(TakeIncoming(), "");
  SetLinkOpen(true);
  EXPECT_TRUE(LinkOpen());
  SelectComDevice("/dev/ttyUSB0");
  EXPECT_EQ(LinkComDevice(), "/dev/ttyUSB0");
  InitLinkState();
  EXPECT_FALSE(LinkOpen());
  EXPECT_EQ(LinkComDevice(), "");
  EXPECT_EQ(LinkComPort(), 1);
}

}  // namespace
}  // namespace linktest
