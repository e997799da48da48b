; The Windows installer, quarnel-setup.exe: Quarnel under Program Files, a Start-menu entry, and
; an uninstaller that removes all of that again and leaves the user's rule lists
; (HKEY_CURRENT_USER\Software\Quarnel) where they are. Built by makensis (Debian's nsis) from the
; Windows tree, with the defines PROGRAM (quarnel.exe), LICENSE, README, VERSION and OUTFILE.

Unicode true
Target amd64-unicode    ; a 64-bit program: its installer is one too, and sees 64-bit Windows
SetCompressor /SOLID lzma
ManifestDPIAware true

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"

!define PRODUCT "Virel Quarnel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarnel"
!define WINDOW_CLASS "Quarnel.frmMain"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quarnel"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; Program Files and the Start menu of every user need an administrator.
RequestExecutionLevel admin
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "GPL-2.0-or-later"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\quarnel.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Quarnel (it only shows connections until it runs as administrator)"
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running Quarnel holds its program file: it is asked to close, as its window's close would
; (which saves its rule lists), and given a few seconds to end.
!macro CloseRunningQuarnel
    FindWindow $0 "${WINDOW_CLASS}"
    ${If} $0 <> 0
        SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
        StrCpy $1 0
        ${Do}
            Sleep 200
            IntOp $1 $1 + 1
            FindWindow $0 "${WINDOW_CLASS}"
            ${If} $0 = 0
            ${OrIf} $1 >= 25
                ${ExitDo}
            ${EndIf}
        ${Loop}
    ${EndIf}
!macroend

Section "Quarnel" SecProgram
    SectionIn RO
    !insertmacro CloseRunningQuarnel
    SetOutPath "$INSTDIR"
    File "/oname=quarnel.exe" "${PROGRAM}"
    File "/oname=LICENSE.txt" "${LICENSE}"
    File "/oname=README.md" "${README}"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    SetShellVarContext all
    CreateShortcut "$SMPROGRAMS\Quarnel.lnk" "$INSTDIR\quarnel.exe" "" "$INSTDIR\quarnel.exe" 0 \
        SW_SHOWNORMAL "" "Closes unwanted TCP connections"

    ; What Settings' list of programs shows, and how it removes Quarnel.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quarnel.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quarnel"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    SectionGetSize ${SecProgram} $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Removes what the installer put there, nothing else: the user's rule lists stay.
Section "Uninstall"
    !insertmacro CloseRunningQuarnel
    Delete "$INSTDIR\quarnel.exe"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    SetShellVarContext all
    Delete "$SMPROGRAMS\Quarnel.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
