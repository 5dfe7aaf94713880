#pragma once

// The main window's controls as plain data. The engine changes them; a front
// end mirrors them on screen; tests read them directly.

#include <algorithm>
#include <string>
#include <vector>

struct TProgressBar {
  int Min = 0;
  int Max = 100;
  int Position = 0;
  int Step = 1;

  // A bar never shows more than full, like the control it stands for.
  void SetMax(int max) {
    Max = max;
    SetPosition(Position);
  }
  void SetPosition(int position) { Position = std::clamp(position, Min, std::max(Min, Max)); }
  void StepIt() { SetPosition(Position + Step); }
};

struct TButton {
  std::string Caption;
  bool Enabled = true;
  bool Visible = true;
};

struct TMenuItem {
  std::string Name;
  std::string Caption;
  bool Checked = false;
  bool Enabled = true;
};

struct TTimer {
  bool Enabled = false;
  int Interval = 10;  // milliseconds
};

struct TMemo {
  std::vector<std::string> Lines;
};
