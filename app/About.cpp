#include "app/About.h"

const char kProgramTitle[] = QSR470_PROGRAM_TITLE;

void TAboutBox::FormCreate() {
  Caption = std::string("About \"") + kProgramTitle + "\"";
  LTitle = kProgramTitle;
  LVersion = "Version : " + ReadVersionString();
  LComment = "QSR470 service tool";
}
