#pragma once

// An in-memory link and a stepped fake unit: no thread, no port. The test
// decides when the unit's replies arrive, so every run is deterministic.

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "app/LinkPort.h"

class FakeLink : public TLinkPort {
 public:
  void SelectComPort(int n) override { selectedPort = n; }
  bool SetLinkOpen(bool open) override {
    isOpen = open;
    return openSucceeds;
  }
  std::string OpenErrorText() const override { return "Error while opening "; }
  void PutOutgoing(const std::string& text) override { outgoing.push_back(text); }
  std::string TakeIncoming() override {
    std::string text;
    text.swap(incoming);
    return text;
  }
  void SetFastSpeed() override { speedChanges.push_back("fast"); }
  void SetSlowSpeed() override { speedChanges.push_back("slow"); }

  int selectedPort = 0;
  bool isOpen = false;
  bool openSucceeds = true;
  std::vector<std::string> outgoing;  // every text the window sent, in order
  std::deque<std::string> arriving;   // replies on their way, one piece each
  std::string incoming;               // the link's pending incoming text
  std::vector<std::string> speedChanges;
};

// Answers like a unit that accepts everything it is sent.
class FakeUnit {
 public:
  std::string Reply(const std::string& sent);

  std::string bootChecksum = "1234";
  std::string deviceId = "1A2B";
  std::map<char, std::string> versions;          // what "T" reads back, per component
  bool silent = false;                           // never answers
  std::map<std::string, std::string> overrides;  // fixed reply for a command

 private:
  bool awaitingText_ = false;
};
