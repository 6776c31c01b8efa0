; The Windows installer of the Halvern Audio driver: puts HalvernASIO.dll under Program Files,
; registers it through the DLL's own DllRegisterServer (what regsvr32 calls), puts the control
; panel HalvernMixer.exe with its Qt files beside it (Start menu entry, started at every user's
; logon and at the end of an interactive install), and adds an uninstaller with its entry in
; the system's program list. /S installs and uninstalls silently.
;
; Built by the `installer` target of the MinGW build:
;   makensis -DVERSION=1.0 -DVERSION_QUAD=1.0.0.0 -DDRIVER_DLL=<stripped dll> -DICON=<icon.ico>
;            -DOUTFILE=<setup.exe> [-DPANEL_DIR=<folder>] halvern.nsi

!ifndef VERSION | VERSION_QUAD | DRIVER_DLL | ICON | OUTFILE
  !error "define VERSION, VERSION_QUAD, DRIVER_DLL, ICON and OUTFILE"
!endif

Unicode true
; The driver is a 64-bit DLL: a 64-bit installer loads it to register it, and sees the native
; registry and Program Files without redirection.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define PRODUCT "Halvern Audio"
!define PUBLISHER "Halvern"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\HalvernAudio"
; What the driver's registration writes; removed by hand only when the DLL cannot do it itself.
!define DRIVER_CLSID "{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}"
!define DRIVER_KEY "SOFTWARE\ASIO\Halvern Audio"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define PANEL_EXE "HalvernMixer.exe"
!define PANEL_LINK "$SMPROGRAMS\Halvern Mixer.lnk"

Name "${PRODUCT} Driver"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT} Driver"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Driver Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef PANEL_DIR
; The finish page is not shown by /S, so a silent install starts no panel.
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start Halvern Mixer"
!define MUI_FINISHPAGE_RUN_FUNCTION StartPanel
!endif
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString RegisterFailed ${LANG_ENGLISH} "The Halvern Audio driver could not be registered. Nothing was installed."
LangString RegisterFailed ${LANG_SIMPCHINESE} "无法注册 Halvern Audio 驱动程序，未安装任何文件。"

Section "${PRODUCT} driver" SecDriver
  SectionIn RO
  SetRegView 64
  SetOutPath "$INSTDIR"
  File "/oname=HalvernASIO.dll" "${DRIVER_DLL}"

  ClearErrors
  RegDLL "$INSTDIR\HalvernASIO.dll"
  ${If} ${Errors}
    ; Leave nothing behind that no uninstaller would know of.
    Delete "$INSTDIR\HalvernASIO.dll"
    RMDir "$INSTDIR"
    MessageBox MB_ICONSTOP|MB_OK "$(RegisterFailed)" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} Driver"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\Uninstall.exe$\",0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\Uninstall.exe$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\Uninstall.exe$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; ---- The control panel ---------------------------------------------------------------------
; -DPANEL_DIR=<folder with HalvernMixer.exe, its Qt DLLs and plugins and HalvernDriver_*.qm,
; which it looks for beside itself>.
!ifdef PANEL_DIR

; A panel of an earlier install holds its files open; it ends before they are replaced or
; removed, and its process is waited for (taskkill returns before the files are free).
!macro EndPanel
  nsExec::Exec '"$SYSDIR\taskkill.exe" /f /im ${PANEL_EXE}'
  Pop $0
  ${If} $0 == 0
    Sleep 1000
  ${EndIf}
!macroend

Section "Halvern Mixer control panel" SecPanel
  SectionIn RO
  SetRegView 64
  SetShellVarContext all
  !insertmacro EndPanel
  SetOutPath "$INSTDIR"
  File /r "${PANEL_DIR}\*.*"
  CreateShortcut "${PANEL_LINK}" "$INSTDIR\${PANEL_EXE}"
  WriteRegStr HKLM "${RUN_KEY}" "HalvernMixer" "$\"$INSTDIR\${PANEL_EXE}$\""
SectionEnd

; Started through the shell, so that the panel runs as the user who logged on, not with the
; installer's administrator rights.
Function StartPanel
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\${PANEL_EXE}"'
FunctionEnd
!endif

Section "-Program list size"
  SetRegView 64
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  SetRegView 64
!ifdef PANEL_DIR
  SetShellVarContext all
  !insertmacro EndPanel
  DeleteRegValue HKLM "${RUN_KEY}" "HalvernMixer"
  Delete "${PANEL_LINK}"
  Delete "$INSTDIR\${PANEL_EXE}"
  Delete "$INSTDIR\HalvernDriver_*.qm"
  Delete "$INSTDIR\Qt6*.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\imageformats"
!endif

  ; Unregistered while the file is there to answer. A DLL that is gone or fails leaves its
  ; entries behind: they go by hand, but only while they still name this copy.
  ClearErrors
  UnRegDLL "$INSTDIR\HalvernASIO.dll"
  ${If} ${Errors}
    ReadRegStr $0 HKCR "CLSID\${DRIVER_CLSID}\InprocServer32" ""
    ${If} $0 == "$INSTDIR\HalvernASIO.dll"
      DeleteRegKey HKCR "CLSID\${DRIVER_CLSID}"
      DeleteRegKey HKLM "${DRIVER_KEY}"
    ${EndIf}
  ${EndIf}

  ; A host that still has the driver loaded keeps the file until the next start.
  Delete /REBOOTOK "$INSTDIR\HalvernASIO.dll"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
