#pragma once

#include <string>

// The build gives it (QSR470_PROGRAM_TITLE in the top CMakeLists.txt).
extern const char kProgramTitle[];

// The program's four-part file version ("1.8.0.5"), or empty when the
// program carries none.
std::string ReadVersionString();

// Texts of the About box, set once when the box is created.
class TAboutBox {
 public:
  TAboutBox() { FormCreate(); }

  void FormCreate();

  std::string Caption;  // the box's title
  std::string LTitle;
  std::string LVersion;
  std::string LComment;  // the third label
};
