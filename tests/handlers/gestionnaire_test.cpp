#include "handlers/gestionnaire.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "test_owner.h"

namespace {

using Events = std::vector<std::string>;

// Opens the handler-side operations to the test.
class Probe : public TGestionnaire {
 public:
  using TGestionnaire::ClearBufIn;
  using TGestionnaire::ClearBusy;
  using TGestionnaire::Consume;
  using TGestionnaire::Info;
  using TGestionnaire::Receive;
  using TGestionnaire::Send;
  using TGestionnaire::SetBusy;
  using TGestionnaire::SetDeviceID;
  using TGestionnaire::SetMaxProgress;
  using TGestionnaire::SpeedDown;
  using TGestionnaire::SpeedUp;
  using TGestionnaire::StepProgress;
  void SetRetryCount(std::int32_t n) { retryCount_ = n; }
};

void ExpectCreationValues(const TGestionnaire& h) {
  EXPECT_EQ(h.Instruction(), "");
  EXPECT_EQ(h.BufIn(), "");
  EXPECT_EQ(h.SendText(), "");
  EXPECT_EQ(h.ErrorText(), "");
  EXPECT_EQ(h.InfoText(), "");
  EXPECT_EQ(h.MaxProgress(), 100);
  EXPECT_EQ(h.DeviceID(), 0);
  EXPECT_FALSE(h.UpdateAllowed());
  EXPECT_EQ(h.RetryCount(), 0);
  EXPECT_FALSE(h.SlowLink());
  EXPECT_FALSE(h.Busy());
}

TEST(Gestionnaire, ResetRestoresCreationValuesSilently) {
  TestOwner owner;
  Probe h;
  ExpectCreationValues(h);
  EXPECT_EQ(h.FileFolder(), platform::ProgramFolder());
  owner.Attach(h);

  h.SetInstruction("SYN");
  h.SetBufIn("abc");
  h.SetUpdateAllowed(true);
  h.SetSlowLink(true);
  EXPECT_TRUE(owner.events.empty()) << "owner-side setters fire nothing";

  h.SetBusy();
  h.Send("PB");
  h.Error("boom");
  h.Info("note");
  h.SetMaxProgress(7);
  h.SetDeviceID(0x1234);
  h.SetRetryCount(12);
  h.SetFileFolder("/images/");
  owner.ClearRecords();

  h.Reset();
  ExpectCreationValues(h);
  EXPECT_TRUE(owner.events.empty()) << "Busy cleared without OnChangeBusy";
  EXPECT_TRUE(owner.busy) << "so the owner still holds the last reported value";
  EXPECT_EQ(h.FileFolder(), "/images/");
}

TEST(Gestionnaire, EachOperationStoresBeforeItFires) {
  TestOwner owner;
  Probe h;
  owner.Attach(h);
  owner.rx = "xyz";

  struct Case {
    std::function<void()> op;
    Events events;
    std::function<bool()> seenByReceiver;
  };
  const Case cases[] = {
      {[&] { h.SetBusy(); }, {"ChangeBusy"}, [&] { return owner.busy; }},
      {[&] { h.ClearBusy(); }, {"ChangeBusy"}, [&] { return !owner.busy; }},
      {[&] { h.Info("hello"); }, {"Info"}, [&] { return owner.infos == Events{"hello"}; }},
      {[&] { h.Error("bad"); }, {"Error"}, [&] { return owner.lastError == "bad"; }},
      {[&] { h.SetMaxProgress(42); },
       {"ChangeMaxProgress"},
       [&] { return owner.progressMax == 42; }},
      {[&] { h.StepProgress(); }, {"StepProgress"}, [&] { return owner.progressSteps == 1; }},
      {[&] { h.Send("17"); }, {"Send"}, [&] { return owner.sent == Events{"17"}; }},
      {[&] { h.Receive(); }, {"Receive"}, [&] { return h.BufIn() == "xyz"; }},
      {[&] { h.Consume("."); }, {"ChangeBufIn"}, [&] { return owner.rx == "yz"; }},
      {[&] { h.ClearBufIn(); }, {"ChangeBufIn"}, [&] { return owner.rx.empty(); }},
      {[&] { h.SetDeviceID(0xABCD); },
       {"ChangeDeviceID"},
       [&] { return owner.deviceID == 0xABCD; }},
      {[&] { h.SpeedUp(); }, {"SpeedUp"}, [&] { return owner.speedUps == 1; }},
      {[&] { h.SpeedDown(); }, {"SpeedDown"}, [&] { return owner.speedDowns == 1; }},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    owner.events.clear();
    cases[i].op();
    EXPECT_EQ(owner.events, cases[i].events) << "case " << i;
    EXPECT_TRUE(cases[i].seenByReceiver()) << "case " << i;
  }
}

TEST(Gestionnaire, UnassignedEventsStillStoreTheValues) {
  Probe h;
  h.SetBufIn("abc");
  h.SetBusy();
  EXPECT_TRUE(h.Busy());
  h.Info("i");
  h.Error("e");
  h.SetMaxProgress(3);
  h.Send("s");
  h.SetDeviceID(5);
  h.Consume("x");
  h.StepProgress();
  h.Receive();
  h.SpeedUp();
  h.SpeedDown();
  EXPECT_EQ(h.InfoText(), "i");
  EXPECT_EQ(h.ErrorText(), "e");
  EXPECT_EQ(h.MaxProgress(), 3);
  EXPECT_EQ(h.SendText(), "s");
  EXPECT_EQ(h.DeviceID(), 5);
  EXPECT_EQ(h.BufIn(), "bc");
  h.ClearBusy();
  EXPECT_FALSE(h.Busy());
}

TEST(Gestionnaire, ConsumeCountsOnlyTheLength) {
  struct Case {
    std::string bufIn, text, left;
  };
  const Case cases[] = {
      {"I.", "X", "."},  // any one character drops the first, whatever it is
      {"", "X", ""},
      {"ab", "XYZ", ""},
      {"abc", "", "abc"},
  };
  for (const auto& c : cases) {
    TestOwner owner;
    Probe h;
    owner.Attach(h);
    h.SetBufIn(c.bufIn);
    h.Consume(c.text);
    EXPECT_EQ(h.BufIn(), c.left) << c.bufIn << " - " << c.text;
    EXPECT_EQ(owner.rx, c.left);
    EXPECT_EQ(owner.events, Events{"ChangeBufIn"}) << "fires even when nothing changed";
  }
}

TEST(Gestionnaire, RepeatedOperationsFireEveryTime) {
  TestOwner owner;
  Probe h;
  owner.Attach(h);
  h.SetBusy();
  h.SetBusy();
  h.ClearBufIn();
  h.ClearBufIn();
  EXPECT_EQ(owner.events, (Events{"ChangeBusy", "ChangeBusy", "ChangeBufIn", "ChangeBufIn"}));
}

TEST(TestOwnerWiring, DeviceIdentitySetsAllowedOnEveryHandlerBeforeReturning) {
  TestOwner owner;
  Probe a, b;
  owner.Attach(a);
  owner.Attach(b);
  owner.allowDevice = [](std::int32_t id) { return id == 0x1234; };
  a.SetDeviceID(0x1234);
  EXPECT_TRUE(a.UpdateAllowed());
  EXPECT_TRUE(b.UpdateAllowed());
  b.SetDeviceID(0x9999);
  EXPECT_FALSE(a.UpdateAllowed());
  EXPECT_FALSE(b.UpdateAllowed());
}

TEST(TestOwnerWiring, StatusDisplayKeepsEqualNeighboursOnce) {
  TestOwner owner;
  Probe h;
  owner.Attach(h);
  h.Info("");  // an empty display counts as an empty last line
  h.Info("A");
  h.Info("A");
  h.Error("A");
  h.Info("B");
  h.Info("A");
  EXPECT_EQ(owner.status, (Events{"A", "B", "A"}));
  EXPECT_EQ(owner.infos.size(), 5u);
}

TEST(Trimming, RemovesEveryCodeUpTo32AtTheEndsOnly) {
  struct Case {
    std::string text, both, left;
  };
  const Case cases[] = {
      {"", "", ""},
      {" \t\r\n", "", ""},
      {"  a b  ", "a b", "a b  "},
      {std::string("\0x\x1f", 3), "x", std::string("x\x1f", 2)},
      {"\x7f"
       "a\xff",
       "\x7f"
       "a\xff",
       "\x7f"
       "a\xff"},  // codes above 32 stay, also 255
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Trim(c.text), c.both);
    EXPECT_EQ(TrimLeft(c.text), c.left);
  }
}

}  // namespace
