; The Windows installer of the KPX-ADAC SDK, made by scripts/package.sh from
; the tree that `cmake --install` of the mingw-w64 cross build stages:
;
;   makensis -DVERSION=1.0.0 -DLICENSE=<LICENSE> -DFILES=<install list>
;            -DUNFILES=<uninstall list> -DOUTFILE=<installer.exe> kpxadac.nsi
;
; FILES and UNFILES are written by package.sh from the staged tree, so the
; installer takes exactly what the install rules install and the uninstaller
; removes exactly that.
;
; Per machine, into Program Files. Options: /S (silent), /D=<folder> (last,
; unquoted), /PATH (adds <folder>\bin to the system PATH; also a choice on
; the components page). The uninstaller (uninstall.exe /S) removes the
; files, the PATH entry and the registry keys.
Unicode true
; A 64-bit installer for a 64-bit SDK (and no 32-bit Wine needed to test it).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"
!include "Sections.nsh"
!include "WinMessages.nsh"
!include "x64.nsh"

!define PRODUCT "KPX-ADAC SDK"
!define PRODUCT_KEY "Software\KPX-ADAC SDK"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KPX-ADAC SDK"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
LicenseData "${LICENSE}"
ShowInstDetails show

Page license
Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "SDK (libraries, headers, programs, Python package, documentation)" SectionSdk
  SectionIn RO
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Version" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "the KPX-ADAC SDK developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Add the programs folder (bin) to the system PATH" SectionPath
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  ${WordFind} "$0" "$INSTDIR\bin" "E+1{" $1
  ${If} ${Errors}
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR\bin"
    ${Else}
      StrCpy $0 "$0;$INSTDIR\bin"
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0"
    WriteRegStr HKLM "${PRODUCT_KEY}" "PathEntry" "$INSTDIR\bin"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  ${EndIf}
SectionEnd

; After the sections, whose names it uses.
Function .onInit
  SetRegView 64
  SetShellVarContext all
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PATH" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SectionPath}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  ReadRegStr $1 HKLM "${PRODUCT_KEY}" "PathEntry"
  ${If} $1 != ""
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    ${un.WordReplace} "$0" ";$1" "" "+" $0
    ${un.WordReplace} "$0" "$1;" "" "+" $0
    ${un.WordReplace} "$0" "$1" "" "+" $0
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  ${EndIf}
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
SectionEnd
