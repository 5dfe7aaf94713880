#include "app/CompDlg.h"

#include <iterator>

bool TCompSelDlg::Selected(int component) const {
  if (component >= 0 && component <= 3) return CBKeyb.Checked;
  if (component == 4) return CBProm1.Checked;
  if (component == 5) return CBProm2.Checked;
  return true;
}

void TCompSelDlg::SetSelected(int component, bool selected) {
  if (component >= 0 && component <= 3) CBKeyb.Checked = selected;
  if (component == 4) CBProm1.Checked = selected;
  if (component == 5) CBProm2.Checked = selected;
}

TCheckBox* TCompSelDlg::BoxNamed(std::string_view name) {
  TCheckBox* const boxes[] = {&CBKeyb, &CBProm1, &CBProm2};
  for (std::size_t i = 0; i < std::size(boxes); ++i) {
    if (name == kBoxNames[i]) return boxes[i];
  }
  return nullptr;
}
