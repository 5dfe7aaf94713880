// TCommPortDriver's behaviour on a scripted port: properties, the order of
// what opening and settings changes ask of the platform, the time-outs of
// reads and writes, and the timer poll.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_backend.h"
#include "link/ComDrv32.h"

namespace linktest {
namespace {

using ::testing::ElementsAre;

class DriverTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  FakeClockScope clock{line};
  TCommPortDriver driver{std::make_unique<FakeBackend>(line)};

  void OpenAndForget() {
    ASSERT_TRUE(driver.OpenPort());
    line->calls.clear();
  }
  std::string Read(std::uint32_t max) {
    std::string buffer(max, '\0');
    const auto n = driver.ReadBytes(reinterpret_cast<std::uint8_t*>(buffer.data()), max);
    buffer.resize(n);
    return buffer;
  }
  std::uint32_t Write(const std::string& text) {
    return driver.WriteBytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                             static_cast<std::uint32_t>(text.size()));
  }
};

TEST_F(DriverTest, StartsWithTheDocumentedDefaults) {
  EXPECT_EQ(driver.ComPort(), pnCOM2);
  EXPECT_EQ(driver.ComPortSpeed(), br9600);
  EXPECT_EQ(driver.ComPortDataBits(), db8BITS);
  EXPECT_EQ(driver.ComPortStopBits(), sb1BITS);
  EXPECT_EQ(driver.ComPortParity(), ptNONE);
  EXPECT_EQ(driver.ComPortHwHandshaking(), hhNONERTSON);
  EXPECT_EQ(driver.ComPortSwHandshaking(), shNONE);
  EXPECT_EQ(driver.ComPortInBufSize(), 2048);
  EXPECT_EQ(driver.ComPortOutBufSize(), 2048);
  EXPECT_EQ(driver.PacketSize(), -1);
  EXPECT_EQ(driver.PacketTimeout(), -1);
  EXPECT_EQ(driver.PacketMode(), pmDiscard);
  EXPECT_EQ(driver.ComPortPollingDelay(), 100);
  EXPECT_TRUE(driver.EnableDTROnOpen());
  EXPECT_EQ(driver.OutputTimeout(), 500);
  EXPECT_EQ(driver.InputTimeout(), 200u);
  EXPECT_FALSE(driver.CheckLineStatus());
  EXPECT_FALSE(driver.PortOpen());
}

TEST_F(DriverTest, OpeningAppliesSettingsThenShortTimeoutsThenStartsTheTimer) {
  driver.SetComPort(pnCOM10);
  driver.SetComPortSpeed(br57600);
  ASSERT_TRUE(driver.OpenPort());
  EXPECT_THAT(line->calls, ElementsAre("open fake10", "settings", "purge in out",
                                       "queues 2048 2048", "timeouts", "timer 100"));
  EXPECT_EQ(line->lastSettings.speed, br57600);
  EXPECT_TRUE(line->lastSettings.dtrOn);
  EXPECT_TRUE(driver.PollTimerRunning());

  line->calls.clear();
  EXPECT_TRUE(driver.OpenPort());  // already open: nothing asked
  EXPECT_TRUE(line->calls.empty());
  driver.ClosePort();
  EXPECT_THAT(line->calls, ElementsAre("stop timer", "close"));
  EXPECT_FALSE(driver.PollTimerRunning());
}

TEST_F(DriverTest, DevicePathReplacesThePortNumber) {
  driver.SetDevicePath("/dev/ttyUSB3");
  EXPECT_EQ(driver.DeviceName(), "/dev/ttyUSB3");
  driver.SetDevicePath("");
  EXPECT_EQ(driver.DeviceName(), "fake2");
}

TEST_F(DriverTest, FailedOpenLeavesThePortClosed) {
  line->openable = false;
  EXPECT_FALSE(driver.OpenPort());
  EXPECT_FALSE(driver.PortOpen());
  EXPECT_FALSE(driver.PollTimerRunning());
}

TEST_F(DriverTest, LineSettingChangeOnOpenPortIsAppliedAtOnceWithBothQueuesDiscarded) {
  OpenAndForget();
  line->arrivals.emplace(0, "stale");
  driver.SetComPortSpeed(br19200);
  EXPECT_THAT(line->calls, ElementsAre("settings", "purge in out", "queues 2048 2048"));
  EXPECT_EQ(line->lastSettings.speed, br19200);
  EXPECT_EQ(driver.BytesWaiting(), 0);

  line->calls.clear();
  driver.SetComPortParity(ptEVEN);
  driver.SetComPortStopBits(sb2BITS);
  EXPECT_EQ(line->calls.size(), 6u);
  EXPECT_EQ(line->lastSettings.parity, ptEVEN);
  EXPECT_EQ(line->lastSettings.stopBits, sb2BITS);
}

TEST_F(DriverTest, LineSettingChangeOnClosedPortWaitsForTheNextOpen) {
  driver.SetComPortSpeed(br115200);
  driver.SetComPortDataBits(db7BITS);
  EXPECT_TRUE(line->calls.empty());
  ASSERT_TRUE(driver.OpenPort());
  EXPECT_EQ(line->lastSettings.speed, br115200);
  EXPECT_EQ(line->lastSettings.dataBits, db7BITS);
}

TEST_F(DriverTest, PortAndQueueSizesAreIgnoredWhileOpenAndAfterClosing) {
  driver.SetComPort(pnCOM3);
  ASSERT_TRUE(driver.OpenPort());
  driver.SetComPort(pnCOM7);
  driver.SetDevicePath("/dev/other");
  driver.SetComPortInBufSize(100);
  driver.SetComPortOutBufSize(100);
  driver.ClosePort();
  EXPECT_EQ(driver.ComPort(), pnCOM3);
  EXPECT_EQ(driver.DevicePath(), "");
  EXPECT_EQ(driver.ComPortInBufSize(), 2048);
  EXPECT_EQ(driver.ComPortOutBufSize(), 2048);
}

TEST_F(DriverTest, PacketSizeBelowOneMeansNoPacketsAndLargeSizesRaiseTheInputQueue) {
  const struct {
    std::int16_t set;
    std::int16_t stored;
    std::uint16_t inBufSize;
  } cases[] = {{0, -1, 2048},      {-5, -1, 2048},     {1, 1, 2048},
               {2048, 2048, 2048}, {2049, 2049, 4098}, {32767, 32767, 65534}};
  for (const auto& c : cases) {
    TCommPortDriver fresh{std::make_unique<FakeBackend>(line)};
    fresh.SetPacketSize(c.set);
    EXPECT_EQ(fresh.PacketSize(), c.stored) << c.set;
    EXPECT_EQ(fresh.ComPortInBufSize(), c.inBufSize) << c.set;
  }
}

TEST_F(DriverTest, ShrinkingTheInputQueueBelowThePacketSizeRaisesItAgain) {
  driver.SetPacketSize(300);
  driver.SetComPortInBufSize(100);
  EXPECT_EQ(driver.ComPortInBufSize(), 600);
}

TEST_F(DriverTest, PacketTimeoutRules) {
  const struct {
    std::uint16_t delay;
    std::int32_t set;
    std::int32_t stored;
  } cases[] = {{100, 10, 250}, {100, 99, 250},  {100, 100, 100},     {100, 0, -1},
               {100, -7, -1},  {100, 300, 300}, {65535, 1000, 65685}};
  for (const auto& c : cases) {
    TCommPortDriver fresh{std::make_unique<FakeBackend>(line)};
    fresh.SetComPortPollingDelay(c.delay);
    fresh.SetPacketTimeout(c.set);
    EXPECT_EQ(fresh.PacketTimeout(), c.stored) << c.delay << " " << c.set;
  }
}

TEST_F(DriverTest, NewPollingDelayRestartsTheTimerAndStoresThePacketTimeoutAgain) {
  driver.SetPacketTimeout(150);
  OpenAndForget();
  driver.SetComPortPollingDelay(100);  // the current value: nothing happens
  EXPECT_TRUE(line->calls.empty());
  driver.SetComPortPollingDelay(200);
  EXPECT_THAT(line->calls, ElementsAre("stop timer", "timer 200"));
  EXPECT_EQ(driver.PacketTimeout(), 350);
  driver.SetPacketTimeout(-1);
  driver.SetComPortPollingDelay(300);
  EXPECT_EQ(driver.PacketTimeout(), -1);
}

TEST_F(DriverTest, ClosedPortGivesTheClosedValues) {
  std::uint8_t buffer[4];
  const std::uint8_t data[] = {1, 2};
  EXPECT_EQ(driver.BytesWaiting(), 65535);
  EXPECT_EQ(driver.OutputFree(), 65535);
  EXPECT_TRUE(driver.ModemLines().Empty());
  EXPECT_EQ(driver.ReadBytes(buffer, sizeof buffer), 0u);
  EXPECT_EQ(driver.WriteBytes(data, sizeof data), 0u);
  EXPECT_FALSE(driver.WriteText("x"));
  EXPECT_TRUE(driver.WriteText(""));
  driver.FlushQueues(true, true);
  driver.ApplySettings();
  EXPECT_TRUE(line->calls.empty());
}

TEST_F(DriverTest, OutputFreeIsTheQueueSizeLessWhatWaits) {
  OpenAndForget();
  line->outputQueued = 48;
  EXPECT_EQ(driver.OutputFree(), 2000);
  line->outputQueued = 2048;
  EXPECT_EQ(driver.OutputFree(), 0);
  line->outputQueued = 5000;
  EXPECT_EQ(driver.OutputFree(), 0);
}

TEST_F(DriverTest, ModemLinesAreEmptyWhenTheDeviceCannotTell) {
  OpenAndForget();
  EXPECT_TRUE(driver.ModemLines().Empty());
  TModemLines lines;
  lines.DSR = true;
  line->modemLines = lines;
  EXPECT_TRUE(driver.ModemLines().DSR);
  EXPECT_FALSE(driver.ModemLines().Empty());
}

// ---- Reads: the time-out counts from the last byte that came.

TEST_F(DriverTest, ReadKeepsGoingWhileEachByteComesWithinTheTimeout) {
  OpenAndForget();
  for (int i = 1; i <= 4; ++i)
    line->arrivals.emplace(100 * i, std::string(1, static_cast<char>('a' + i - 1)));
  EXPECT_EQ(Read(4), "abcd");
  EXPECT_EQ(line->now, 400u);
}

TEST_F(DriverTest, ReadReturnsOnceTheTimeoutPassedWithoutANewByte) {
  OpenAndForget();
  line->arrivals.emplace(100, "a");
  line->arrivals.emplace(250, "b");
  line->arrivals.emplace(500, "c");
  EXPECT_EQ(Read(10), "ab");
  EXPECT_EQ(line->now, 451u);  // more than 200 ms after the last byte
  line->now = 500;
  EXPECT_EQ(driver.BytesWaiting(), 1);
}

TEST_F(DriverTest, ReadWithTimeoutZeroReturnsAsSoonAsTheTickMoves) {
  driver.SetInputTimeout(0);
  OpenAndForget();
  line->now = 1000;
  EXPECT_EQ(Read(100), "");
  EXPECT_EQ(line->now, 1001u);
  line->arrivals.emplace(1001, "xyz");
  EXPECT_EQ(Read(100), "xyz");
  EXPECT_EQ(line->now, 1001u);  // what waited is handed back without waiting for the tick
}

TEST_F(DriverTest, ReadStopsAtTheMaximumAndLeavesTheRest) {
  OpenAndForget();
  line->arrivals.emplace(0, "abcdef");
  EXPECT_EQ(Read(4), "abcd");
  EXPECT_EQ(line->now, 0u);
  EXPECT_EQ(driver.BytesWaiting(), 2);
}

TEST_F(DriverTest, ReadTimeoutSurvivesTheTickWrapping) {
  OpenAndForget();
  line->now = 0xFFFFFF00u;
  line->arrivals.emplace(0xFFFFFFA0u, "a");   // 160 ms later
  line->arrivals.emplace(0x100000040u, "b");  // 160 ms later again, across the wrap
  EXPECT_EQ(Read(2), "ab");
}

TEST_F(DriverTest, ReadHoldsTheTimerPollForItsDuration) {
  OpenAndForget();
  int fired = 0;
  driver.OnReceiveData = [&](TCommPortDriver*, const std::uint8_t*, std::uint32_t) { ++fired; };
  line->arrivals.emplace(0, "ab");
  EXPECT_EQ(Read(2), "ab");
  line->arrivals.emplace(line->now, "cd");
  driver.PollTimerTick();  // the hold is released again
  EXPECT_EQ(fired, 1);
}

// ---- Writes: as much as the output queue has room for, pass after pass.

TEST_F(DriverTest, WriteGoesOutInPiecesThatFitTheFreeRoom) {
  driver.SetComPortOutBufSize(10);
  OpenAndForget();
  EXPECT_EQ(Write(std::string(25, 'w')), 25u);
  EXPECT_THAT(line->writeSizes, ElementsAre(10u, 10u, 5u));
  EXPECT_EQ(line->now, 0u);
}

TEST_F(DriverTest, WriteTimeoutCountsFromTheLastProgress) {
  const struct {
    std::vector<std::uint64_t> roomAt;
    std::string expected;
    std::uint64_t endsAt;
  } cases[] = {
      {{400}, "x", 400},               // room comes within 500 ms
      {{600}, "", 501},                // too late: gives up
      {{300, 600, 900}, "xyz", 900},   // slow, but never 500 ms without progress
      {{300, 600, 1200}, "xy", 1101},  // the third byte is 600 ms late
  };
  for (const auto& c : cases) {
    line->now = 0;
    line->written.clear();
    line->alwaysRoom = false;
    line->roomAt = c.roomAt;
    TCommPortDriver fresh{std::make_unique<FakeBackend>(line)};
    ASSERT_TRUE(fresh.OpenPort());
    const std::string text = c.roomAt.size() == 1 ? "x" : "xyz";
    const auto n = fresh.WriteBytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                    static_cast<std::uint32_t>(text.size()));
    EXPECT_EQ(line->written, c.expected);
    EXPECT_EQ(n, c.expected.size());
    EXPECT_EQ(line->now, c.endsAt);
  }
}

TEST_F(DriverTest, WriteTextIsTrueOnlyWhenEveryByteWentOut) {
  OpenAndForget();
  EXPECT_TRUE(driver.WriteText(""));
  EXPECT_TRUE(line->writeSizes.empty());
  EXPECT_TRUE(driver.WriteText("P0"));
  EXPECT_EQ(line->written, "P0");
  line->alwaysRoom = false;  // and never any room again
  EXPECT_FALSE(driver.WriteText("lost"));
}

TEST_F(DriverTest, WriteWithLineCheckStopsWhenNoModemLineIsOn) {
  driver.SetCheckLineStatus(true);
  OpenAndForget();
  EXPECT_EQ(Write("abc"), 0u);
  EXPECT_TRUE(line->writeSizes.empty());
  TModemLines lines;
  lines.CTS = true;
  line->modemLines = lines;
  EXPECT_EQ(Write("abc"), 3u);
}

// ---- Timer poll.

TEST_F(DriverTest, TimerPollDeliversDataUnlessHeldOrClosed) {
  std::string received;
  driver.OnReceiveData = [&](TCommPortDriver* sender, const std::uint8_t* data,
                             std::uint32_t size) {
    EXPECT_EQ(sender, &driver);
    received.append(reinterpret_cast<const char*>(data), size);
  };
  line->arrivals.emplace(0, "early");
  driver.PollTimerTick();  // closed
  EXPECT_EQ(received, "");

  OpenAndForget();
  line->arrivals.emplace(0, "abc");
  driver.HoldPolling();
  driver.PollTimerTick();
  EXPECT_EQ(received, "");
  driver.ReleasePolling();
  driver.PollTimerTick();
  EXPECT_EQ(received, "abc");
}

TEST_F(DriverTest, TimerPollReadsNoMoreThanTheReceiveBuffer) {
  driver.SetComPortInBufSize(4);
  std::vector<std::uint32_t> sizes;
  driver.OnReceiveData = [&](TCommPortDriver*, const std::uint8_t*, std::uint32_t size) {
    sizes.push_back(size);
  };
  OpenAndForget();
  line->arrivals.emplace(0, "abcdefghij");
  driver.PollTimerTick();
  driver.PollTimerTick();
  driver.PollTimerTick();
  EXPECT_THAT(sizes, ElementsAre(4u, 4u, 2u));
}

TEST_F(DriverTest, TimerPollDeliversWholePacketsAndKeepsTheRemainder) {
  driver.SetPacketSize(4);
  std::vector<std::string> packets;
  driver.OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* data, std::uint32_t size) {
    packets.emplace_back(reinterpret_cast<const char*>(data), size);
  };
  OpenAndForget();
  line->arrivals.emplace(0, "abcdefghij");
  driver.PollTimerTick();
  EXPECT_THAT(packets, ElementsAre("abcd", "efgh"));
  EXPECT_EQ(driver.BytesWaiting(), 2);
  line->arrivals.emplace(0, "kl");
  driver.PollTimerTick();
  EXPECT_THAT(packets, ElementsAre("abcd", "efgh", "ijkl"));
}

TEST_F(DriverTest, IncompletePacketIsPassedOrDroppedOnceItsTimeoutExpired) {
  for (TPacketMode mode : {pmPass, pmDiscard}) {
    line->now = 0;
    line->input.clear();
    TCommPortDriver fresh{std::make_unique<FakeBackend>(line)};
    fresh.SetPacketSize(4);
    fresh.SetPacketTimeout(300);
    fresh.SetPacketMode(mode);
    std::vector<std::string> packets;
    fresh.OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* data, std::uint32_t size) {
      packets.emplace_back(reinterpret_cast<const char*>(data), size);
    };
    ASSERT_TRUE(fresh.OpenPort());
    line->arrivals.emplace(0, "ab");
    fresh.PollTimerTick();  // first seen now
    line->now = 300;
    fresh.PollTimerTick();  // not more than 300 ms yet
    EXPECT_TRUE(packets.empty());
    line->now = 301;
    fresh.PollTimerTick();
    if (mode == pmPass) {
      EXPECT_THAT(packets, ElementsAre("ab"));
    } else {
      EXPECT_TRUE(packets.empty());
    }
    EXPECT_EQ(fresh.BytesWaiting(), 0);
  }
}

TEST_F(DriverTest, PacketLargerThanTheInputQueueOfAnOpenPortStillFitsTheBuffer) {
  OpenAndForget();
  driver.SetPacketSize(3000);  // the queue size cannot change while open
  EXPECT_EQ(driver.ComPortInBufSize(), 2048);
  std::vector<std::uint32_t> sizes;
  driver.OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t*, std::uint32_t size) {
    sizes.push_back(size);
  };
  line->arrivals.emplace(0, std::string(3000, 'p'));
  driver.PollTimerTick();
  EXPECT_THAT(sizes, ElementsAre(3000u));
}

TEST_F(DriverTest, ReceiverClosingThePortEndsThePacketLoop) {
  driver.SetPacketSize(2);
  int fired = 0;
  driver.OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t*, std::uint32_t) {
    ++fired;
    sender->ClosePort();
  };
  OpenAndForget();
  line->arrivals.emplace(0, "abcdef");
  driver.PollTimerTick();
  EXPECT_EQ(fired, 1);
}

TEST(TransmitTime, TenBitsPerByteRoundedHalfToEven) {
  const struct {
    TComPortBaudRate speed;
    std::uint32_t bytes;
    std::uint32_t ms;
  } cases[] = {
      {br9600, 48, 50},    // 48 / 960 * 1000 exactly
      {br9600, 12, 12},    // 12.5 rounds to the even 12
      {br9600, 36, 38},    // 37.5 rounds to the even 38
      {br57600, 100, 17},  // 17.36
      {br110, 1, 91},      // 90.9
      {br115200, 0, 0},
      {br19200, 1920, 1000},
      // Halves and near-halves far from zero, where a rounding slip would show.
      {br9600, 3600000012, 3750000012},
      {br9600, 3600000036, 3750000038},
      {br115200, 4294967295, 372827022},
      {br110, 4294967295, 4294967295},  // beyond the counter: held at its top
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TCommPortDriver::TransmitTime(c.speed, c.bytes), c.ms) << c.bytes;
  }
}

TEST(FlowControlLimit, QuarterOfTheInputQueueCappedOnNtFromVersionFour) {
  const struct {
    std::uint16_t inBufSize;
    const char* label;
    std::uint32_t version;
    std::uint16_t limit;
  } cases[] = {
      {2048, "WNT", 0x50001, 512},    {65535, "WNT", 0x40000, 4096},  {65535, "WNT", 0x60002, 4096},
      {65535, "WNT", 0x3000A, 16383}, {65535, "W95", 0x40000, 16383}, {65535, "??", 0, 16383},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(comdrv::FlowControlLimit(c.inBufSize, c.label, c.version), c.limit)
        << c.label << " " << std::hex << c.version;
  }
}

}  // namespace
}  // namespace linktest
