; The Windows installer of the Corvane QSR470 Updater, made by the Windows
; build's `installer` target (cmake/packaging.cmake), which defines VERSION,
; STAGE (the folder of the files), FILES (their list), OUTFILE and ICON.
; Silent with /S, for both the installer and the uninstaller.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestSupportedOS all

!define PRODUCT "Corvane QSR470 Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane QSR470 Updater"
!define SHORTCUTS "$SMPROGRAMS\Corvane"
!include "${FILES}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\Corvane\QSR470 Updater"
; Program Files and the machine-wide list of installed programs need it.
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Corvane"
VIAddVersionKey "LegalCopyright" "Corvane"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  ; The shortcut is for every user of the machine, as the program is.
  SetShellVarContext all
  !insertmacro InstallFiles
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "${SHORTCUTS}"
  ; Started in its own folder, as a double-click on it would start it.
  SetOutPath "$INSTDIR"
  CreateShortCut "${SHORTCUTS}\QSR470 Updater.lnk" "$INSTDIR\QSR470Updater.exe" "" \
    "$INSTDIR\QSR470Updater.exe" 0 SW_SHOWNORMAL "" "${PRODUCT}"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Corvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\QSR470Updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  !insertmacro RemoveFiles
  Delete "$INSTDIR\Uninstall.exe"
  ; Only when empty: files the technician put there stay, with their folder.
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  Delete "${SHORTCUTS}\QSR470 Updater.lnk"
  RMDir "${SHORTCUTS}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
