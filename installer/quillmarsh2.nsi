; The installer of Quillmarsh2, built with NSIS 3 (makensis). It carries qmhook.dll and
; calls its ClearInstallerHook at each stage of the installation:
;   1  the banner page shows the bitmap stage 1 hands over (interactive runs only)
;   2  the installation begins; the answer is always 0 and means nothing
;   3  the pre-install checks, before anything is written: 0 ends the installer, exit code 3;
;      a hook that cannot be called at all (a damaged or missing qmhook.dll) exit code 4
;   4  the checks passed; the files go in next
;   5  files and registry values are in place: the DLL starts Tovelgate.exe
;   6  the installation has succeeded
;
; makensis -DQMHOOK_DLL=<qmhook.dll> -DTOVELGATE_EXE=<launcher> [-DOUTFILE=<setup.exe>] quillmarsh2.nsi
; Paths are relative to this script's directory.

Unicode true
SetCompressor /SOLID lzma
!include LogicLib.nsh
!include nsDialogs.nsh
!include WinMessages.nsh

!ifndef QMHOOK_DLL
    !define QMHOOK_DLL "..\bin\qmhook.dll"
!endif
!ifndef TOVELGATE_EXE
    !define TOVELGATE_EXE "Tovelgate.exe"
!endif
!ifndef OUTFILE
    !define OUTFILE "Quillmarsh2-setup.exe"
!endif

!define VENDOR_KEY "Software\Vantorel Software"
!define PRODUCT_KEY "Quillmarsh2"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillmarsh2"
!define VETO_EXIT_CODE 3
!define HOOK_FAILED_EXIT_CODE 4

; ClearInstallerHook(stage, reserved, out) is stdcall, System::Call's default on x86. The
; DLL keeps nothing between calls, so each call loads it and unloads it again (?u): no
; call leaves it loaded, and NSIS can delete $PLUGINSDIR when it ends.
!define HOOK '"$PLUGINSDIR\qmhook.dll"::ClearInstallerHook'

Name "Quillmarsh2"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Quillmarsh2"
RequestExecutionLevel admin
ShowInstDetails show

Var Banner ; stage 1's bitmap: ours once the DLL hands it over
Var StartDirectory ; the current directory the installer was started in

Page custom BannerPage
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    System::Call 'kernel32::GetCurrentDirectory(i ${NSIS_MAX_STRLEN}, t .s)'
    Pop $StartDirectory
    InitPluginsDir
    File "/oname=$PLUGINSDIR\qmhook.dll" "${QMHOOK_DLL}"
FunctionEnd

Function BannerPage
    nsDialogs::Create 1018
    Pop $0
    ${If} $Banner == ""
        System::Call '${HOOK}(i 1, p 0, *p 0 r1) i .r2 ?u'
        StrCpy $Banner $1
    ${EndIf}
    ; A static control with SS_BITMAP takes the size of the bitmap it is given; it does not
    ; own the bitmap.
    ${NSD_CreateBitmap} 0 0 0 0 ""
    Pop $0
    SendMessage $0 ${STM_SETIMAGE} ${IMAGE_BITMAP} $Banner
    ${NSD_CreateLabel} 0 168 100% 24u "Setup will install Quillmarsh2 by Vantorel Software.$\r$\nClick Next to continue."
    Pop $0
    nsDialogs::Show
FunctionEnd

; The page may be shown again (Back), so the bitmap lives until the window goes.
Function .onGUIEnd
    ${NSD_FreeBitmap} $Banner
FunctionEnd

Function Veto
    ${If} $0 == 0
        SetErrorLevel ${VETO_EXIT_CODE}
    ${Else}
        ; Not an answer of the DLL: it could not be loaded or called.
        MessageBox MB_OK|MB_ICONSTOP "Setup cannot run its checks (qmhook.dll: $0)." /SD IDOK
        SetErrorLevel ${HOOK_FAILED_EXIT_CODE}
    ${EndIf}
    Quit
FunctionEnd

Section "Quillmarsh2"
    SectionIn RO
    System::Call '${HOOK}(i 2, p 0, p 0) i .r0 ?u'
    ; The DLL has shown the user why in a message box, in silent runs too.
    System::Call '${HOOK}(i 3, p 0, p 0) i .r0 ?u'
    ${If} $0 != 1
        Call Veto
    ${EndIf}
    System::Call '${HOOK}(i 4, p 0, p 0) i .r0 ?u'

    SetOutPath "$INSTDIR"
    File "/oname=Tovelgate.exe" "${TOVELGATE_EXE}"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ; 32-bit view, the one the 32-bit DLL reads (WOW6432Node on 64-bit Windows).
    WriteRegStr HKLM "${VENDOR_KEY}" "InstallLaunchPath" "${PRODUCT_KEY}"
    WriteRegStr HKLM "${VENDOR_KEY}\${PRODUCT_KEY}" "Install Path" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quillmarsh2"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Vantorel Software"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    ; Stage 5 makes "Install Path" the process's current directory and leaves it so, which
    ; holds the directory open (as SetOutPath above did too): go back to where the
    ; installer started.
    System::Call '${HOOK}(i 5, p 0, p 0) i .r0 ?u'
    SetOutPath "$StartDirectory"
SectionEnd

Function .onInstSuccess
    System::Call '${HOOK}(i 6, p 0, p 0) i .r0 ?u'
FunctionEnd

Section "Uninstall"
    Delete "$INSTDIR\Tovelgate.exe"
    Delete "$INSTDIR\Uninstall.exe"
    ; Only if empty: what the user or the product put there stays.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${VENDOR_KEY}\${PRODUCT_KEY}"
    DeleteRegValue HKLM "${VENDOR_KEY}" "InstallLaunchPath"
    DeleteRegKey /ifempty HKLM "${VENDOR_KEY}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
