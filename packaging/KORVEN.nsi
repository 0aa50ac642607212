; The KORVEN installer, one script for both architectures. The build passes:
;   VERSION      x.y.z
;   ARCH         x64 or x86
;   NSIS_TARGET  amd64-unicode or x86-unicode
;   STAGE        the folder holding the files to install
;   OUTFILE      the installer to write
;   INSTANCE_MUTEX  the name of the mutex a running KORVEN.exe holds
;
; Silent use:
;   setup.exe /S [/SIM=1|/SIM=0] [/WORKDIR=<folder>] [/D=<program folder>]
;   uninstall.exe /S
; /D= comes last and is never quoted; a working folder with blanks is
; given as /WORKDIR="C:\a b" or "/WORKDIR=C:\a b".
;
; Registry (in the view of the installer's own bitness):
;   HKLM\Software\KORVEN                  InstallDir, WorkDir, Version,
;                                         ProxyStub (1: registered by us),
;                                         Simulation (1: registered by us)
;   HKLM\...\Uninstall\KORVEN             the Programs and Features entry

!macro RequireDefine NAME
  !ifndef ${NAME}
    !error "makensis needs /D${NAME}=..."
  !endif
!macroend
!insertmacro RequireDefine VERSION
!insertmacro RequireDefine ARCH
!insertmacro RequireDefine NSIS_TARGET
!insertmacro RequireDefine STAGE
!insertmacro RequireDefine OUTFILE
!insertmacro RequireDefine INSTANCE_MUTEX

Target ${NSIS_TARGET}
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include Sections.nsh

!define PRODUCT "KORVEN"
!define OWN_KEY "Software\KORVEN"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KORVEN"
; IOPCServer: its proxy/stub entry tells whether the OPC interfaces have one.
!define IID_IOPCServer "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"

Name "KORVEN ${VERSION} (${ARCH})"
OutFile "${OUTFILE}"
BrandingText "KORVEN ${VERSION}"
!if ${ARCH} == x64
  InstallDir "$PROGRAMFILES64\KORVEN"
!else
  InstallDir "$PROGRAMFILES32\KORVEN"
!endif
; An upgrade goes where the last install went.
InstallDirRegKey HKLM "${OWN_KEY}" "InstallDir"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "KORVEN"
VIAddVersionKey /LANG=1033 "CompanyName" "KORVEN"
VIAddVersionKey /LANG=1033 "FileDescription" "KORVEN ${VERSION} ${ARCH} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "KORVEN"

Var WorkDir

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Working folder"
!define MUI_PAGE_HEADER_SUBTEXT "The folder KORVEN starts in: it reads KORVEN.ini there."
!define MUI_DIRECTORYPAGE_TEXT_TOP "The Start-menu entry KORVEN starts KORVEN in this folder, and KORVEN reads its topics from KORVEN.ini in it. Setup puts a sample KORVEN.ini there unless one exists already; an existing one is kept as it is."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Working folder"
!define MUI_DIRECTORYPAGE_VARIABLE $WorkDir
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "KORVEN (required)" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}\KORVEN.exe"
  File "${STAGE}\KorvenOpcPS.dll"
  File "${STAGE}\ddeclient.exe"
  File "${STAGE}\windriver.exe"
  File "${STAGE}\opcsim.exe"
  File "${STAGE}\opcbrowse.exe"
  File "${STAGE}\KORVEN.sample.ini"
  File "${STAGE}\guide-en.txt"
  File "${STAGE}\guide-ja.txt"
  File "${STAGE}\live-viewer.cmd"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  Call RegisterProxyStub

  CreateDirectory "$WorkDir"
  ${If} ${FileExists} "$WorkDir\KORVEN.ini"
    DetailPrint "Kept the existing $WorkDir\KORVEN.ini."
  ${Else}
    CopyFiles /SILENT "$INSTDIR\KORVEN.sample.ini" "$WorkDir\KORVEN.ini"
    DetailPrint "Wrote $WorkDir\KORVEN.ini from the sample."
  ${EndIf}

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\KORVEN"
  ; A shortcut starts in the output path of the moment.
  SetOutPath "$WorkDir"
  CreateShortcut "$SMPROGRAMS\KORVEN\KORVEN.lnk" "$INSTDIR\KORVEN.exe"
  CreateShortcut "$SMPROGRAMS\KORVEN\Live viewer.lnk" "$INSTDIR\live-viewer.cmd"
  CreateShortcut "$SMPROGRAMS\KORVEN\Working folder.lnk" "$WorkDir"
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\KORVEN\Guide (English).lnk" "$INSTDIR\guide-en.txt"
  CreateShortcut "$SMPROGRAMS\KORVEN\ガイド (日本語).lnk" "$INSTDIR\guide-ja.txt"
SectionEnd

Section /o "Simulation OPC server" SecSim
  ; Its own ProgID only: Velmora.Ctrl9.1 names the real server of a plant.
  ExecWait '"$INSTDIR\opcsim.exe" /RegServer /OwnProgIdOnly' $0
  ${If} $0 == 0
    WriteRegDWORD HKLM "${OWN_KEY}" "Simulation" 1
    DetailPrint "Registered the simulation OPC server as Korven.OpcSim.1."
  ${Else}
    DetailPrint "Could not register the simulation OPC server (exit code $0)."
    SetErrorLevel 2
    Abort
  ${EndIf}
SectionEnd

Section "-Record"
  ; An earlier install's simulation server that is no longer wanted.
  ${IfNot} ${SectionIsSelected} ${SecSim}
    ReadRegDWORD $0 HKLM "${OWN_KEY}" "Simulation"
    ${If} $0 == 1
      ExecWait '"$INSTDIR\opcsim.exe" /UnregServer'
      DetailPrint "Unregistered the simulation OPC server of the earlier install."
    ${EndIf}
    WriteRegDWORD HKLM "${OWN_KEY}" "Simulation" 0
  ${EndIf}

  WriteRegStr HKLM "${OWN_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${OWN_KEY}" "WorkDir" "$WorkDir"
  WriteRegStr HKLM "${OWN_KEY}" "Version" "${VERSION}"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "KORVEN ${VERSION} (${ARCH})"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "KORVEN"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\KORVEN.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; Registers KorvenOpcPS.dll only where the OPC interfaces have no proxy/stub
; (no OPC core components), or again where an earlier install of ours
; registered it, and records which, so that the uninstaller undoes exactly that.
Function RegisterProxyStub
  ReadRegDWORD $0 HKLM "${OWN_KEY}" "ProxyStub"
  ReadRegStr $1 HKCR "Interface\${IID_IOPCServer}\ProxyStubClsid32" ""
  ${If} $0 == 1
    DetailPrint "Registering the OPC proxy/stub KorvenOpcPS.dll again (registered by the earlier install)."
  ${ElseIf} $1 == ""
    DetailPrint "No proxy/stub is registered for the OPC interfaces: registering KorvenOpcPS.dll."
  ${Else}
    DetailPrint "The OPC interfaces have a proxy/stub already ($1): KorvenOpcPS.dll is not registered."
    WriteRegDWORD HKLM "${OWN_KEY}" "ProxyStub" 0
    Return
  ${EndIf}
  ClearErrors
  RegDLL "$INSTDIR\KorvenOpcPS.dll"
  ${If} ${Errors}
    DetailPrint "Could not register KorvenOpcPS.dll."
    SetErrorLevel 2
    Abort
  ${EndIf}
  WriteRegDWORD HKLM "${OWN_KEY}" "ProxyStub" 1
FunctionEnd

; A running KORVEN.exe can be neither replaced nor removed: setup and
; uninstall stop at once (exit code 2) and say so, unless silent.
!macro RefuseWhileKorvenRuns
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
    MessageBox MB_ICONSTOP "KORVEN is running. End it (File > Exit in its status window) and start this again." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

Function un.onInit
  !insertmacro RefuseWhileKorvenRuns
FunctionEnd

Function .onInit
  !insertmacro RefuseWhileKorvenRuns
  ; The working folder: the last install's, else the user's Documents\KORVEN;
  ; /WORKDIR=<folder> for silent installs.
  ReadRegStr $WorkDir HKLM "${OWN_KEY}" "WorkDir"
  ${If} $WorkDir == ""
    SetShellVarContext current
    StrCpy $WorkDir "$DOCUMENTS\KORVEN"
  ${EndIf}
  ${GetParameters} $R0
  ; "/WORKDIR=C:\a b", as PowerShell and most launchers quote it, read as
  ; /WORKDIR="C:\a b", as typed in cmd.
  ${WordReplace} $R0 '"/WORKDIR=' '/WORKDIR="' '+' $R0
  ClearErrors
  ${GetOptions} $R0 "/WORKDIR=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 != ""
    StrCpy $WorkDir $R1
  ${EndIf}

  ; The simulation server: as the last install had it, else off; /SIM=1 or /SIM=0.
  ReadRegDWORD $R2 HKLM "${OWN_KEY}" "Simulation"
  ClearErrors
  ${GetOptions} $R0 "/SIM=" $R1
  ${IfNot} ${Errors}
    ; Its first character only: a quoted argument after it ("/D=C:\a b")
    ; leaves a quote behind the value.
    StrCpy $R2 $R1 1
  ${EndIf}
  ${If} $R2 == 1
    !insertmacro SelectSection ${SecSim}
  ${Else}
    !insertmacro UnselectSection ${SecSim}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ReadRegDWORD $0 HKLM "${OWN_KEY}" "Simulation"
  ${If} $0 == 1
    ExecWait '"$INSTDIR\opcsim.exe" /UnregServer'
    DetailPrint "Unregistered the simulation OPC server."
  ${EndIf}
  ReadRegDWORD $0 HKLM "${OWN_KEY}" "ProxyStub"
  ${If} $0 == 1
    UnRegDLL "$INSTDIR\KorvenOpcPS.dll"
    DetailPrint "Unregistered the OPC proxy/stub KorvenOpcPS.dll."
  ${Else}
    DetailPrint "The OPC proxy/stub was not registered by KORVEN: left as it is."
  ${EndIf}

  Delete "$INSTDIR\KORVEN.exe"
  Delete "$INSTDIR\KorvenOpcPS.dll"
  Delete "$INSTDIR\ddeclient.exe"
  Delete "$INSTDIR\windriver.exe"
  Delete "$INSTDIR\opcsim.exe"
  Delete "$INSTDIR\opcbrowse.exe"
  Delete "$INSTDIR\KORVEN.sample.ini"
  Delete "$INSTDIR\guide-en.txt"
  Delete "$INSTDIR\guide-ja.txt"
  Delete "$INSTDIR\live-viewer.cmd"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  SetShellVarContext all
  Delete "$SMPROGRAMS\KORVEN\KORVEN.lnk"
  Delete "$SMPROGRAMS\KORVEN\Live viewer.lnk"
  Delete "$SMPROGRAMS\KORVEN\Working folder.lnk"
  Delete "$SMPROGRAMS\KORVEN\Guide (English).lnk"
  Delete "$SMPROGRAMS\KORVEN\ガイド (日本語).lnk"
  RMDir "$SMPROGRAMS\KORVEN"

  ; The working folder (KORVEN.ini, logs) belongs to the user: it stays.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${OWN_KEY}"
SectionEnd
