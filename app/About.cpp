#include "app/About.h"

void TAboutBox::FormCreate() {
  Caption = std::string("About \"") + kProgramTitle + "\"";
  LTitle = kProgramTitle;
  LVersion = "Version : " + ReadVersionString();
  LComment = "QSR470 service tool";
}
