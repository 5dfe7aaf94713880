// TCommPortDriver on a real terminal device: a pseudo-terminal, whose master
// side plays the unit and sees the line settings the component made.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "link/ComDrv32.h"
#include "pty.h"

namespace linktest {
namespace {

class PtyDriverTest : public ::testing::Test {
 protected:
  Pty pty;
  TCommPortDriver driver;

  void SetUp() override {
    driver.SetDevicePath(pty.SlavePath());
    driver.SetComPortSpeed(br57600);
    ASSERT_TRUE(driver.OpenPort()) << driver.LastError();
  }
  // Waits until the bytes the master sent have reached the input queue.
  bool WaitWaiting(int count) {
    return WaitFor([&] { return driver.BytesWaiting() == count; },
                   [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  }
  std::string Read(std::uint32_t max) {
    std::string buffer(max, '\0');
    buffer.resize(driver.ReadBytes(reinterpret_cast<std::uint8_t*>(buffer.data()), max));
    return buffer;
  }
};

TEST_F(PtyDriverTest, OtherSideSeesRawEightNoneOneWithoutFlowControl) {
  for (const auto& [speed, code] : {std::pair{br57600, B57600}, std::pair{br19200, B19200}}) {
    driver.SetComPortSpeed(speed);
    const termios tio = pty.SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&tio), code);
    EXPECT_EQ(::cfgetispeed(&tio), code);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & (CLOCAL | CREAD), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  }
  // A pseudo-terminal has no modem lines; that is not a settings failure.
  EXPECT_EQ(driver.LastError(), "");
}

TEST_F(PtyDriverTest, LowLatencyRequestIsNoErrorOnADeviceWithoutSerialSettings) {
  // A pseudo-terminal refuses the request (ENOTTY), as a driver without the
  // flag does; neither the open nor the close may report that.
  EXPECT_EQ(driver.LastError(), "");
  driver.ClosePort();
  ASSERT_TRUE(driver.OpenPort()) << driver.LastError();
  EXPECT_EQ(driver.LastError(), "");
}

TEST_F(PtyDriverTest, OtherSettingsReachTheLineAndRefusedOnesAreReadBack) {
  driver.SetComPortStopBits(sb2BITS);
  driver.SetComPortHwHandshaking(hhRTSCTS);
  driver.SetComPortSwHandshaking(shXONXOFF);
  termios tio = pty.SlaveSettings();
  EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(tio.c_iflag & INPCK, 0u);  // parity is sent, never checked
  EXPECT_EQ(driver.LastError(), "");

  // A pseudo-terminal keeps 8 data bits and no parity whatever it is told.
  driver.SetComPortDataBits(db7BITS);
  driver.SetComPortParity(ptODD);
  tio = pty.SlaveSettings();
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
  EXPECT_NE(driver.LastError(), "");
}

TEST_F(PtyDriverTest, SpeedWithoutATermiosCodeKeepsTheLineSpeedAndSaysSo) {
  for (TComPortBaudRate speed : {br14400, br56000}) {
    driver.ClosePort();
    driver.SetComPortSpeed(br57600);
    ASSERT_TRUE(driver.OpenPort());
    ASSERT_EQ(driver.LastError(), "");  // a successful open starts without one
    driver.SetComPortSpeed(speed);
    const termios tio = pty.SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_NE(driver.LastError().find(std::to_string(BaudRateValue(speed))), std::string::npos)
        << driver.LastError();
  }
}

TEST_F(PtyDriverTest, SpeedChangeOnOpenPortDiscardsBytesNotYetRead) {
  pty.Send("stale");
  ASSERT_TRUE(WaitWaiting(5));
  driver.SetComPortSpeed(br19200);
  EXPECT_EQ(driver.BytesWaiting(), 0);
  pty.Send("new");
  ASSERT_TRUE(WaitWaiting(3));
  EXPECT_EQ(Read(10), "new");
}

TEST_F(PtyDriverTest, CarriesBytesBothWaysUnchanged) {
  const std::string text("P0\r\n:10000000\x00\x7f\xff\n", 18);
  EXPECT_TRUE(driver.WriteText(text));
  EXPECT_EQ(pty.ReceiveExactly(text.size()), text);

  pty.Send(text);
  ASSERT_TRUE(WaitWaiting(static_cast<int>(text.size())));
  driver.SetInputTimeout(0);
  EXPECT_EQ(Read(100), text);
}

TEST_F(PtyDriverTest, DeviceIsNotSharedWhileOpen) {
  TCommPortDriver second;
  second.SetDevicePath(pty.SlavePath());
  EXPECT_FALSE(second.OpenPort());
  EXPECT_NE(second.LastError().find("in use"), std::string::npos) << second.LastError();
  driver.ClosePort();
  EXPECT_TRUE(second.OpenPort()) << second.LastError();
}

TEST_F(PtyDriverTest, OtherSideGoneReadAndWriteReturnWhatTheyHave) {
  pty.CloseMaster();
  driver.SetInputTimeout(20);
  driver.SetOutputTimeout(20);
  EXPECT_EQ(Read(10), "");
  EXPECT_FALSE(driver.WriteText("lost"));
  EXPECT_TRUE(driver.PortOpen());  // closing stays the owner's decision
  EXPECT_NE(driver.LastError(), "");
  driver.ClosePort();
  EXPECT_FALSE(driver.OpenPort());  // the device is gone for good
}

// A wait without end: if it is not ended as it should be, the test hangs and
// the test command's time-out reports it.
constexpr std::uint32_t kForever = UINT32_MAX;

TEST_F(PtyDriverTest, WaitForInputEndsWhenInputArrivesOrAnotherThreadInterrupts) {
  std::thread other([&] { driver.InterruptWait(); });
  driver.WaitForInput(kForever);
  other.join();

  driver.InterruptWait();  // before the wait: it ends the next one
  driver.WaitForInput(kForever);

  other = std::thread([&] { pty.Send("x"); });
  driver.WaitForInput(kForever);
  other.join();
  EXPECT_TRUE(WaitWaiting(1));
}

TEST_F(PtyDriverTest, WaitForInputWithTheOtherSideGoneStillEndsWhenInterrupted) {
  pty.CloseMaster();
  driver.SetInputTimeout(0);
  EXPECT_EQ(Read(1), "");  // learns that the device is gone
  std::thread other([&] { driver.InterruptWait(); });
  driver.WaitForInput(kForever);
  other.join();
}

TEST(PortDevice, PortNumberNamesTheEnvironmentsDeviceElseTtyS) {
  ::unsetenv("QSR470_COM10");
  TCommPortDriver driver;
  driver.SetComPort(pnCOM10);
  EXPECT_EQ(driver.DeviceName(), "/dev/ttyS9");
  driver.SetComPort(pnCOM1);
  EXPECT_EQ(driver.DeviceName(), "/dev/ttyS0");

  Pty pty;
  ::setenv("QSR470_COM10", pty.SlavePath().c_str(), 1);
  driver.SetComPort(pnCOM10);
  EXPECT_EQ(driver.DeviceName(), pty.SlavePath());
  EXPECT_TRUE(driver.OpenPort()) << driver.LastError();
  ::unsetenv("QSR470_COM10");
}

TEST(PortDevice, OpeningWhatIsNoTerminalFails) {
  for (const char* path : {"/nonexistent/ttyS0", "/dev/null"}) {
    TCommPortDriver driver;
    driver.SetDevicePath(path);
    EXPECT_FALSE(driver.OpenPort()) << path;
    EXPECT_FALSE(driver.PortOpen());
    EXPECT_NE(driver.LastError().find(path), std::string::npos) << driver.LastError();
  }
}

}  // namespace
}  // namespace linktest
