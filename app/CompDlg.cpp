#include "app/CompDlg.h"

bool TCompSelDlg::Selected(int component) const {
  if (component >= 0 && component <= 3) return CBKeyb.Checked;
  if (component == 4) return CBProm1.Checked;
  if (component == 5) return CBProm2.Checked;
  return true;
}
