#pragma once

// The main window's two modal dialogs.

#include <windows.h>

class TCompSelDlg;
class TAboutBox;

// Centred on the screen. The boxes of `dialog` follow the check boxes
// however the dialog is closed: it has no Cancel.
void ShowCompSelDialog(HINSTANCE instance, HWND owner, TCompSelDlg& dialog);

// Centred on `owner`.
void ShowAboutBox(HINSTANCE instance, HWND owner, const TAboutBox& box);
