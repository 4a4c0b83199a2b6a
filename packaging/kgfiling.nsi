; The Windows installer of the client and kgadmin (makensis, NSIS 3).
; scripts/windows.sh defines SOURCE (the program folder), OUTFILE and
; VERSION (major.minor.patch).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
!include "x64.nsh"

!define TITLE "澄岭区2022年城区公办幼儿园小班招生网络填报系统"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kgfiling"

Name "${TITLE}"
Caption "${TITLE}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\kgfiling"
Icon "${__FILEDIR__}\kgfiling.ico"
UninstallIcon "${__FILEDIR__}\kgfiling.ico"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${TITLE}"
VIAddVersionKey /LANG=2052 "CompanyName" "澄岭区教育委员会"
VIAddVersionKey /LANG=2052 "FileDescription" "${TITLE} 安装程序"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section
  ; The Start-menu entry is for every user of the computer.
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File /r "${SOURCE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${TITLE}.lnk" "$INSTDIR\kgfiling.exe" "" "$INSTDIR\kgfiling.exe" 0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "澄岭区教育委员会"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kgfiling.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The program folder and the entries go; the guardians' data does not live
; here (the embedded store is in each user's %LOCALAPPDATA%\kgfiling).
Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${TITLE}.lnk"
  RMDir /r "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
