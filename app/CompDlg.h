#pragma once

#include <string>
#include <string_view>

// State of the component selection dialog: which components a Manual-mode
// run updates. One instance lives as long as the main window, so the boxes
// keep their state from one showing to the next.
struct TCheckBox {
  std::string Caption;
  bool Checked = true;
};

class TCompSelDlg {
 public:
  static constexpr const char* kTitle = "Component Selection";
  static constexpr const char* kGroupCaption = "Select Component to Program";

  TCheckBox CBKeyb{"Keyb 470", true};  // components 0 to 3, the keyboard banks
  TCheckBox CBProm1{"Prom 1", true};   // component 4
  TCheckBox CBProm2{"Prom 2", true};   // component 5

  // The names by which the command lines untick the boxes, in the boxes'
  // order; the gang checks a name against the same list before passing it on.
  static constexpr const char* kBoxNames[] = {"keyb", "prom1", "prom2"};
  // The box a name unticks, or none.
  TCheckBox* BoxNamed(std::string_view name);

  // The dialog has no Cancel: however it is closed, the boxes stay as set.
  void OKBtnClick() {}

  // Whether a component (0 to 5) is chosen for the run.
  bool Selected(int component) const;
  // Ticks or unticks the box of a component (0 to 5; 0 to 3 share one box).
  void SetSelected(int component, bool selected);
};
