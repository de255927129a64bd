; Halvex_Service_Setup.exe: installs halvex-service.exe and icon.ico under
; Program Files, starts the agent at every user's logon (the machine's Run
; key; the agent asks for elevation itself when it starts) and starts it
; once now. Built by platform/win32/installer/CMakeLists.txt with:
;   makensis -DVERSION=0.2.1 -DVERSION_QUAD=0.2.1.0 -DEXE=<halvex-service.exe> -DICON=<.ico>
;            -DOUTFILE=<Halvex_Service_Setup.exe> halvex-service.nsi
;
; The agent's self-update runs the installer with
;   /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-
; /VERYSILENT (or NSIS's own /S) installs without any window;
; /SUPPRESSMSGBOXES takes each message box's default answer; /NORESTART
; and /SP- are accepted and change nothing, since the installer never
; restarts the machine and asks nothing before it starts.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "Halvex Service"
!define PROGRAM "halvex-service.exe"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\HalvexService"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION_QUAD}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION_QUAD}"
VIAddVersionKey "ProductVersion" "${VERSION_QUAD}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Silent when the command line carries /VERYSILENT (NSIS's /S already is).
!macro SILENT_SWITCHES
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/VERYSILENT" $R1
  ${IfNot} ${Errors}
    SetSilent silent
  ${EndIf}
!macroend

; Ends every running copy of the agent, so its files can be replaced or
; removed (the self-update has already waited for its own process).
!macro STOP_AGENT
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${PROGRAM}'
  Pop $R0
  Sleep 500
!macroend

Function .onInit
  !insertmacro SILENT_SWITCHES
  SetRegView 64
FunctionEnd

Section "Install"
  !insertmacro STOP_AGENT
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "/oname=${PROGRAM}" "${EXE}"
  File "/oname=icon.ico" "${ICON}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${PROGRAM}"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\icon.ico"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Start the agent now, as the logon would (it elevates itself).
  Exec '"$INSTDIR\${PROGRAM}"'
SectionEnd

Function un.onInit
  !insertmacro SILENT_SWITCHES
  SetRegView 64
FunctionEnd

Section "Uninstall"
  !insertmacro STOP_AGENT
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${PROGRAM}"
  Delete "$INSTDIR\icon.ico"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: whatever else a user put there stays. The agent's own
  ; data (identity, log) lives in each user's profile and stays too.
  RMDir "$INSTDIR"
SectionEnd
