; The Windows installer: puts melvixhost, melvixreg, melvixplay and melvixcheck in a folder, has
; melvixreg write the host's manifests there, registers them with Chrome, Chromium, Edge and
; Firefox, adds a Start-menu entry that runs melvixcheck, and lists itself among the installed
; programs.
;
; It carries both builds of the programs. On 64-bit Windows it installs the x86-64 ones in the
; folder and the 32-bit ones in its x86\ subfolder, and the manifests name the x86-64 host, or the
; 32-bit one with /X86: a 64-bit program sees the MIDI drivers registered for 64-bit programs and a
; 32-bit one those for 32-bit programs, and a device can have a driver for one only. 32-bit Windows
; gets the 32-bit programs alone, in the folder itself. The installer is a 32-bit program, so that
; both run it.
;
; Two modes, side by side if need be, each removed by its own uninstaller:
;   for this user (the default, no administrator rights): %LOCALAPPDATA%\Programs\Melvix, HKCU;
;   for all users (/ALLUSERS, or the choice offered to an administrator): %ProgramFiles%\Melvix
;   (the 64-bit folder on 64-bit Windows), HKLM. Managed machines often forbid per-user hosts.
; HKLM is written through its 32-bit view, whatever this installer's own bitness: every browser,
; 32-bit or 64-bit, reads that view first and takes the first key it finds there (their sources
; say so), so one copy serves all, and a second copy in the 64-bit view could only go stale.
;
; Running it again over an installation of the same mode repairs it: programs, manifests and keys
; are written anew, the rest stays. With or without /X86 it writes the same files; only the host the
; manifests name differs. Exit codes (silent): 0 installed; 3 a browser runs the host;
; 4 failed, nothing left behind; 5 installed for this user, but a policy makes Chrome or Edge
; ignore per-user hosts; 6 /ALLUSERS without administrator rights. What it did, and why it ended
; so, is in install.log in the installation's folder.
;
; tools/build-installer.sh builds it, defining
;   VERSION  the host's version, as melvixhost answers ["version"]
;   BINDIR   the folder of the four 32-bit programs as they ship, each dated with the commit's
;            time: File keeps the date, and the installation gives it back, so the installer
;            holds no time of its build
;   BINDIR64 the same for the four x86-64 programs
;   OUTFILE  the installer to write
;   AMD64    when set, an x86-64 installer (which always finds 64-bit Windows): only for testing
;            under a Wine that cannot run 32-bit programs; the one we ship is 32-bit.
;   SIGN     when set, the command that signs a file in place (tools/sign.sh), given a certificate
;            and key: the programs in BINDIR are signed already.

!ifdef AMD64
  Target amd64-unicode
!else
  Target x86-unicode
!endif

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "MUI2.nsh"
!include "nsDialogs.nsh"
!include "x64.nsh"

!define HOST_NAME "com.tarnwell.melvix_midi"
!define PRODUCT "Melvix MIDI host"
!define PUBLISHER "Tarnwell"
!define UNINSTALL_PARENT "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define UNINSTALL_KEY "${UNINSTALL_PARENT}\MelvixMidiHost"
!define CHROME_HOSTS "Software\Google\Chrome\NativeMessagingHosts"
!define CHROMIUM_HOSTS "Software\Chromium\NativeMessagingHosts"
!define EDGE_HOSTS "Software\Microsoft\Edge\NativeMessagingHosts"
!define FIREFOX_HOSTS "Software\Mozilla\NativeMessagingHosts"
!define CHECK_LINK "Check Melvix MIDI host.lnk"
; The manifests are melvix.chrome.json and melvix.firefox.json: short, so that a folder long enough
; for the host's path to take 240 of Windows' 259 characters still holds them. Earlier versions
; named them after the host; an update removes those.
!define MANIFEST "melvix"
!define OLD_MANIFEST "${HOST_NAME}"
; The longest folder whose every file's path stays within Windows' 259 characters.
!define MOST_FOLDER 239

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; The installer's own version resource, with the numbers read from the host's (which has them from
; kHostVersion, as VERSION), so that Explorer shows the installer and the programs alike.
!getdllversion "${BINDIR}\melvixhost.exe" HOST_VERSION_
VIProductVersion "${HOST_VERSION_1}.${HOST_VERSION_2}.${HOST_VERSION_3}.${HOST_VERSION_4}"
VIFileVersion "${HOST_VERSION_1}.${HOST_VERSION_2}.${HOST_VERSION_3}.${HOST_VERSION_4}"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey FileDescription "${PRODUCT} setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
; The programs' version resources carry no copyright line either.
!pragma warning disable 9100

!ifdef SIGN
  ; The uninstaller is signed before it is packed into the installer, so that the one an
  ; installation writes carries its signature; the installer is signed last, once written.
  !uninstfinalize '${SIGN} "%1"' = 0
  !finalize '${SIGN} "%1"' = 0
!endif

SetCompressor /SOLID lzma
RequestExecutionLevel user
ShowInstDetails show
ShowUninstDetails show

Var allUsers     ; 1: for all users (HKLM, Program Files), 0: for this user
Var log          ; the open install log, or ""
Var modeAll      ; the mode page's radio button for all users
Var policyNote   ; why Chrome or Edge will ignore a per-user host, or ""
Var windows64    ; 1 on 64-bit Windows, 0 on 32-bit Windows
Var useX86       ; 1: the manifests name the 32-bit host (/X86), 0: the x86-64 one where it runs
Var host         ; the host the manifests name

; The pages (Modern UI): what this installs, for whom (administrators only), where, the progress
; with its details (kept until Next, so that a failure can be read), and an offer to run the check
; and to read the README. The product's icon for the installer and the uninstaller; the programs
; carry it too, so the Start-menu entry shows it.
!define MUI_ICON "installer\melvix.ico"
!define MUI_UNICON "installer\melvix.ico"
!define MUI_ABORTWARNING
BrandingText "${PRODUCT} ${VERSION}"
!define MUI_WELCOMEPAGE_TITLE "Install ${PRODUCT} ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "${PRODUCT} lets web pages that you allow, in Google Chrome, \
  Chromium, Microsoft Edge and Firefox, play to and listen to this computer's MIDI devices \
  through its companion browser extension.$\r$\n$\r$\nThis installs the program the browsers \
  start for the extension, registers it with those browsers, and adds $\"Check Melvix MIDI \
  host$\" to the Start menu, which tells you why a browser cannot reach it or a device.\
  $\r$\n$\r$\nClose your browsers before you go on.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
Page custom ModePage ModePageLeave
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_FINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\melvixcheck.exe"
!define MUI_FINISHPAGE_RUN_PARAMETERS "--pause"
!define MUI_FINISHPAGE_RUN_TEXT "Check Melvix MIDI host"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the README"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; --- Shared by the installer and the uninstaller (un. names the uninstaller's copy) ---------------

; Writes a line to the details and to the install log.
!macro Log TEXT
  DetailPrint "${TEXT}"
  ${If} $log != ""
    FileWriteUTF16LE $log "${TEXT}$\r$\n"
  ${EndIf}
!macroend

; Makes SHCTX, $SMPROGRAMS and the rest this mode's: HKLM (32-bit view) and the all-users folders,
; or HKCU and this user's.
!macro UseMode UN
Function ${UN}UseMode
  SetRegView 32
  ${If} $allUsers == 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd
!macroend
!insertmacro UseMode ""
!insertmacro UseMode "un."

!macro ProgramsFreeFunctions UN
; Sets $R0 to $R2 when the file $INSTDIR\$R2 exists and cannot be opened for writing: Windows
; keeps a running program's file so, and a browser keeps the host running while an extension uses
; it.
Function ${UN}FindLocked
  IfFileExists "$INSTDIR\$R2" 0 done
  ClearErrors
  FileOpen $R1 "$INSTDIR\$R2" a
  IfErrors 0 free
  StrCpy $R0 $R2
  Goto done
free:
  FileClose $R1
done:
FunctionEnd

; Asks for the programs to be closed until none is running, or aborts (at once when silent). A
; running program would be left behind: File skips a file it cannot write without a word in silent
; mode, and Delete cannot remove it.
Function ${UN}WaitUntilProgramsFree
retry:
  StrCpy $R0 ""
  StrCpy $R2 "melvixhost.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "melvixplay.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "melvixreg.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "melvixcheck.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "x86\melvixhost.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "x86\melvixplay.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "x86\melvixreg.exe"
  Call ${UN}FindLocked
  StrCpy $R2 "x86\melvixcheck.exe"
  Call ${UN}FindLocked
  StrCmp $R0 "" done
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
    "$R0 is running: a browser has it open.$\r$\n$\r$\nClose your browsers, then click Retry." \
    /SD IDCANCEL IDRETRY retry
  SetErrorLevel 3
  Abort "$INSTDIR\$R0 is running; nothing was changed. Close your browsers and try again."
done:
FunctionEnd
!macroend
!insertmacro ProgramsFreeFunctions ""
!insertmacro ProgramsFreeFunctions "un."

; Removes one browser's registration, and then the keys above it that the first installation created
; (recorded in the uninstall entry as CreatedKey<BROWSER>) once they are empty. The host's key goes
; only while it still names our manifest: another installation may have taken it over since.
!macro RemoveRegistration HOSTS BROWSER KIND UN
  ReadRegStr $0 SHCTX "${HOSTS}\${HOST_NAME}" ""
  StrCmp $0 "$INSTDIR\${MANIFEST}.${KIND}.json" 0 +2
    DeleteRegKey SHCTX "${HOSTS}\${HOST_NAME}"
  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "CreatedKey${BROWSER}"
  StrCpy $1 "${HOSTS}"
  Push $0
  Push $1
  Call ${UN}RemoveEmptyKeysUpTo
!macroend

!macro RemoveEmptyKeysFunction UN
; Stack: top the key path P, below it a key T that P lies in (or is). Removes P and each key above
; it up to and including T, while each is empty. Does nothing when T is empty or does not contain P.
Function ${UN}RemoveEmptyKeysUpTo
  Exch $1 ; P
  Exch
  Exch $0 ; T
  Push $2
  Push $3
  StrCmp $0 "" done
  StrLen $2 $0
  StrCpy $3 $1 $2
  StrCmp $3 $0 0 done
  StrCpy $3 $1 1 $2
  StrCmp $3 "" up
  StrCmp $3 "\" up done
up:
  DeleteRegKey /ifempty SHCTX $1
  StrCmp $1 $0 done
  ; P becomes its parent: cut at the last backslash.
  StrLen $2 $1
loop:
  IntOp $2 $2 - 1
  IntCmp $2 0 done done
  StrCpy $3 $1 1 $2
  StrCmp $3 "\" 0 loop
  StrCpy $1 $1 $2
  Goto up
done:
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd
!macroend
!insertmacro RemoveEmptyKeysFunction ""
!insertmacro RemoveEmptyKeysFunction "un."

; Everything an installation of this mode writes, and only that.
!macro RemoveInstallation UN
  !insertmacro RemoveRegistration "${CHROME_HOSTS}" Chrome chrome "${UN}"
  !insertmacro RemoveRegistration "${CHROMIUM_HOSTS}" Chromium chrome "${UN}"
  !insertmacro RemoveRegistration "${EDGE_HOSTS}" Edge chrome "${UN}"
  !insertmacro RemoveRegistration "${FIREFOX_HOSTS}" Firefox firefox "${UN}"
  Delete "$INSTDIR\melvixhost.exe"
  Delete "$INSTDIR\melvixreg.exe"
  Delete "$INSTDIR\melvixplay.exe"
  Delete "$INSTDIR\melvixcheck.exe"
  Delete "$INSTDIR\x86\melvixhost.exe"
  Delete "$INSTDIR\x86\melvixreg.exe"
  Delete "$INSTDIR\x86\melvixplay.exe"
  Delete "$INSTDIR\x86\melvixcheck.exe"
  RMDir "$INSTDIR\x86"
  Delete "$INSTDIR\${MANIFEST}.chrome.json"
  Delete "$INSTDIR\${MANIFEST}.firefox.json"
  Delete "$INSTDIR\${OLD_MANIFEST}.chrome.json"
  Delete "$INSTDIR\${OLD_MANIFEST}.firefox.json"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\install.log"
  ; The shortcut goes only when it runs this folder's melvixcheck.
  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $0 "$INSTDIR" 0 +3
    Delete "$SMPROGRAMS\Melvix\${CHECK_LINK}"
    RMDir "$SMPROGRAMS\Melvix"
  ; Only when empty: files the user put there stay, and so does their folder.
  RMDir "$INSTDIR"
  ; The entry goes only when it describes this folder; an installation elsewhere may own it now.
  StrCmp $0 "$INSTDIR" 0 +6
    ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "CreatedKeyEntry"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
    Push $0
    Push "${UNINSTALL_PARENT}"
    Call ${UN}RemoveEmptyKeysUpTo
!macroend

; --- The installer ------------------------------------------------------------------------------

Function .onInit
  StrCpy $log ""
  StrCpy $allUsers 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${IfNot} ${Errors}
    StrCpy $allUsers 1
  ${EndIf}
  !ifdef AMD64
    StrCpy $windows64 1
  !else
    StrCpy $windows64 0
    ${If} ${RunningX64}
      StrCpy $windows64 1
    ${EndIf}
  !endif
  StrCpy $useX86 0
  ClearErrors
  ${GetOptions} $R0 "/X86" $R1
  ${IfNot} ${Errors}
    StrCpy $useX86 1
  ${EndIf}
  ${If} $allUsers == 1
    UserInfo::GetAccountType
    Pop $R1
    ${If} $R1 != "Admin"
      MessageBox MB_OK|MB_ICONSTOP "Installing for all users needs administrator rights: run the \
        installer as an administrator." /SD IDOK
      SetErrorLevel 6
      Abort
    ${EndIf}
  ${EndIf}
  Call UseMode
  Call DefaultFolder
FunctionEnd

; The folder of an installation of this mode, if there is one (an update or a repair goes there),
; else this mode's usual one.
Function DefaultFolder
  ; /D= given on the command line wins.
  StrCmp $INSTDIR "" 0 done
  ReadRegStr $R1 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $R1 == ""
    ; The entry may have been deleted; a browser's key still tells where the manifests are.
    ReadRegStr $R1 SHCTX "${CHROME_HOSTS}\${HOST_NAME}" ""
    ${If} $R1 != ""
      ${GetParent} $R1 $R1
    ${EndIf}
  ${EndIf}
  ${If} $R1 != ""
    StrCpy $INSTDIR $R1
  ${ElseIf} $allUsers == 1
    StrCpy $INSTDIR "$PROGRAMFILES32\Melvix"
    ${If} $windows64 == 1
      StrCpy $INSTDIR "$PROGRAMFILES64\Melvix"
    ${EndIf}
  ${Else}
    StrCpy $INSTDIR "$LOCALAPPDATA\Programs\Melvix"
  ${EndIf}
done:
FunctionEnd

; An administrator who runs the installer is asked for whom it installs; anyone else installs for
; themselves without being asked.
Function ModePage
  ${If} $allUsers == 1
    Abort
  ${EndIf}
  UserInfo::GetAccountType
  Pop $R1
  ${If} $R1 != "Admin"
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "For whom" "Install ${PRODUCT} for you alone, or for everyone \
    who uses this computer."
  nsDialogs::Create 1018
  Pop $R1
  ; Each choice is one short line, explained in a label of its own below it that wraps within the
  ; page: a radio button's text does not wrap, and was cut off here when it held the explanation.
  ${NSD_CreateRadioButton} 0 0 100% 12u "Only for me"
  Pop $R1
  ${NSD_Check} $R1
  ${NSD_CreateLabel} 12u 14u -12u 20u "No administrator rights needed. Installs into your own \
    folders, and the browsers find it for you alone."
  Pop $R1
  ${NSD_CreateRadioButton} 0 42u 100% 12u "For all users of this computer"
  Pop $modeAll
  ${NSD_CreateLabel} 12u 56u -12u 30u "Installs into Program Files. Needed where an \
    administrator's policy makes Chrome or Edge ignore programs installed for one user."
  Pop $R1
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $modeAll $R1
  ${If} $R1 == ${BST_CHECKED}
    StrCpy $allUsers 1
    StrCpy $INSTDIR ""
    Call UseMode
    Call DefaultFolder
  ${EndIf}
FunctionEnd

; $R0: a key path under SHCTX. Leaves in $R0 the first key that writing $R0 would create, or ""
; when $R0 exists already.
Function FirstMissingKey
  StrCpy $R1 0
next:
  IntOp $R1 $R1 + 1
  StrCpy $R2 $R0 1 $R1
  StrCmp $R2 "\" check
  StrCmp $R2 "" check next
check:
  StrCpy $R3 $R0 $R1
  ClearErrors
  EnumRegKey $R4 SHCTX $R3 0
  IfErrors missing
  StrCmp $R2 "" 0 next
  StrCpy $R0 ""
  Return
missing:
  StrCpy $R0 $R3
FunctionEnd

; Before the first installation writes anything: which key of each browser's chain it is about to
; create ($R6 Chrome, $R7 Chromium, $R8 Edge, $R9 Firefox), so that the uninstaller removes that
; much and no more. An update keeps what the first installation noted.
!macro NoteCreatedKey HOSTS REGISTER
  StrCpy $R0 "${HOSTS}"
  Call FirstMissingKey
  StrCpy ${REGISTER} $R0
!macroend

; Undoes this installation and ends it with a message: nothing half-installed stays behind.
; The message is kept aside first, since the removal uses the registers it may name.
Var failMessage
!macro FailInstall MESSAGE
  StrCpy $failMessage "${MESSAGE}"
  !insertmacro Log $failMessage
  ${If} $log != ""
    FileClose $log
    StrCpy $log ""
  ${EndIf}
  !insertmacro RemoveInstallation ""
  MessageBox MB_OK|MB_ICONSTOP "$failMessage$\r$\n$\r$\nNothing was installed." /SD IDOK
  SetErrorLevel 4
  Abort $failMessage
!macroend

; Sets $policyNote when a policy makes Chrome or Edge ignore hosts installed per user:
; NativeMessagingUserLevelHosts = 0 under SOFTWARE\Policies\<browser>, the machine's before the
; user's.
!macro NotePolicy BROWSER KEY
  ${If} $policyNote == ""
    ClearErrors
    ReadRegDWORD $R1 HKLM "${KEY}" "NativeMessagingUserLevelHosts"
    ${If} ${Errors}
      ClearErrors
      ReadRegDWORD $R1 HKCU "${KEY}" "NativeMessagingUserLevelHosts"
      StrCpy $R2 "HKEY_CURRENT_USER\${KEY}"
    ${Else}
      StrCpy $R2 "HKEY_LOCAL_MACHINE\${KEY}"
    ${EndIf}
    ${IfNot} ${Errors}
    ${AndIf} $R1 == 0
      StrCpy $policyNote "${BROWSER} ignores hosts installed for one user: the policy \
        NativeMessagingUserLevelHosts is 0 under $R2. Melvix is installed, but ${BROWSER} will \
        not find it. Install for all users instead: run the installer as an administrator and \
        choose all users (silently: /S /ALLUSERS)."
    ${EndIf}
  ${EndIf}
!macroend

; Says what an installation of the other mode means for this one.
Function NoteOtherMode
  ${If} $allUsers == 1
    ReadRegStr $R1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 != ""
      !insertmacro Log "An installation for this user alone stays in $R1: for this user the \
        browsers keep using it (they look at the user's registrations first). Each installation \
        has its own uninstaller."
    ${EndIf}
  ${Else}
    SetRegView 32
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 != ""
      !insertmacro Log "An installation for all users stays in $R1: for this user the browsers use \
        this one from now on (they look at the user's registrations first). Each installation \
        has its own uninstaller."
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Melvix MIDI host"
  Call UseMode
  StrLen $R0 $INSTDIR
  ${If} $R0 > ${MOST_FOLDER}
    MessageBox MB_OK|MB_ICONSTOP "The folder $INSTDIR is too long: the path of a file put there \
      would exceed the 259 characters Windows allows. Choose a shorter folder." /SD IDOK
    SetErrorLevel 4
    Abort "The folder is too long; nothing was installed."
  ${EndIf}
  Call WaitUntilProgramsFree
  StrCpy $policyNote ""

  ; Is this the first installation of this mode? Then note the keys it is about to create.
  ReadRegStr $R5 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $R5 "" 0 programs
  !insertmacro NoteCreatedKey "${CHROME_HOSTS}" $R6
  !insertmacro NoteCreatedKey "${CHROMIUM_HOSTS}" $R7
  !insertmacro NoteCreatedKey "${EDGE_HOSTS}" $R8
  !insertmacro NoteCreatedKey "${FIREFOX_HOSTS}" $R9
  StrCpy $R0 "${UNINSTALL_KEY}"
  Call FirstMissingKey
  StrCpy $R5 $R0

programs:
  SetOutPath "$INSTDIR"
  SetOverwrite on
  ClearErrors
  FileOpen $log "$INSTDIR\install.log" w
  ${If} ${Errors}
    StrCpy $log ""
  ${Else}
    ; UTF-16, marked so, as Notepad reads it: paths keep every character.
    FileWriteWord $log 0xFEFF
  ${EndIf}
  ${If} $allUsers == 1
    !insertmacro Log "${PRODUCT} ${VERSION}, for all users, into $INSTDIR"
  ${Else}
    !insertmacro Log "${PRODUCT} ${VERSION}, for this user, into $INSTDIR"
  ${EndIf}
  Call NoteOtherMode
  Call UseMode
  ClearErrors
  StrCpy $host "$INSTDIR\melvixhost.exe"
  ${If} $windows64 == 1
    File "${BINDIR64}\melvixhost.exe"
    File "${BINDIR64}\melvixreg.exe"
    File "${BINDIR64}\melvixplay.exe"
    File "${BINDIR64}\melvixcheck.exe"
    SetOutPath "$INSTDIR\x86"
    File "${BINDIR}\melvixhost.exe"
    File "${BINDIR}\melvixreg.exe"
    File "${BINDIR}\melvixplay.exe"
    File "${BINDIR}\melvixcheck.exe"
    SetOutPath "$INSTDIR"
    ${If} $useX86 == 1
      StrCpy $host "$INSTDIR\x86\melvixhost.exe"
      !insertmacro Log "The browsers start the 32-bit host, $host (/X86)."
    ${Else}
      !insertmacro Log "The browsers start the x86-64 host, $host; the 32-bit one is in \
        $INSTDIR\x86 (/X86 makes the browsers start that one)."
    ${EndIf}
  ${Else}
    File "${BINDIR}\melvixhost.exe"
    File "${BINDIR}\melvixreg.exe"
    File "${BINDIR}\melvixplay.exe"
    File "${BINDIR}\melvixcheck.exe"
    !insertmacro Log "The browsers start the 32-bit host, $host (32-bit Windows)."
  ${EndIf}
  File "installer\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  IfErrors 0 manifests
    !insertmacro FailInstall "The programs could not be written to $INSTDIR."

manifests:
  ; Old manifests go first, so that a leftover can never pass for one melvixreg just wrote.
  Delete "$INSTDIR\${MANIFEST}.chrome.json"
  Delete "$INSTDIR\${MANIFEST}.firefox.json"
  Delete "$INSTDIR\${OLD_MANIFEST}.chrome.json"
  Delete "$INSTDIR\${OLD_MANIFEST}.firefox.json"
  nsExec::Exec '"$INSTDIR\melvixreg.exe" "$INSTDIR\${MANIFEST}" "$host"'
  Pop $0
  StrCmp $0 "0" 0 reg_failed
  StrCpy $1 "$INSTDIR\${MANIFEST}.chrome.json"
  Call CheckManifest
  StrCpy $1 "$INSTDIR\${MANIFEST}.firefox.json"
  Call CheckManifest
  Goto keys
reg_failed:
  !insertmacro FailInstall "melvixreg, which writes the browsers' manifests, failed (exit code $0)."

keys:
  WriteRegStr SHCTX "${CHROME_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${MANIFEST}.chrome.json"
  WriteRegStr SHCTX "${CHROMIUM_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${MANIFEST}.chrome.json"
  WriteRegStr SHCTX "${EDGE_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${MANIFEST}.chrome.json"
  WriteRegStr SHCTX "${FIREFOX_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${MANIFEST}.firefox.json"

  CreateDirectory "$SMPROGRAMS\Melvix"
  ; A console window of its own, open until a key is pressed.
  CreateShortcut "$SMPROGRAMS\Melvix\${CHECK_LINK}" "$INSTDIR\melvixcheck.exe" "--pause"

  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $0 "" 0 entry
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "CreatedKeyEntry" $R5
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "CreatedKeyChrome" $R6
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "CreatedKeyChromium" $R7
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "CreatedKeyEdge" $R8
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "CreatedKeyFirefox" $R9
entry:
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; Installed for this user where a policy makes Chrome or Edge ignore such hosts: the files stay,
  ; so that an administrator can rerun it for all users, but the user is told.
  ${If} $allUsers == 0
    !insertmacro NotePolicy "Google Chrome" "SOFTWARE\Policies\Google\Chrome"
    !insertmacro NotePolicy "Microsoft Edge" "SOFTWARE\Policies\Microsoft\Edge"
  ${EndIf}
  ${If} $policyNote != ""
    !insertmacro Log $policyNote
    FileClose $log
    StrCpy $log ""
    MessageBox MB_OK|MB_ICONEXCLAMATION $policyNote /SD IDOK
    SetErrorLevel 5
  ${Else}
    !insertmacro Log "Installed."
    FileClose $log
    StrCpy $log ""
  ${EndIf}
SectionEnd

; $1: a manifest melvixreg should have written. Fails the installation when it is missing or empty.
Function CheckManifest
  ClearErrors
  FileOpen $2 $1 r
  IfErrors missing
  FileSeek $2 0 END $3
  FileClose $2
  IntCmp $3 0 missing missing
  Return
missing:
  !insertmacro FailInstall "melvixreg did not write the manifest $1."
FunctionEnd

; --- The uninstaller ----------------------------------------------------------------------------

; The uninstaller removes its own installation: the one whose entry names its folder. For all users
; that entry is in HKLM.
Function un.onInit
  StrCpy $log ""
  StrCpy $allUsers 0
  SetRegView 32
  ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $R1 == $INSTDIR
    StrCpy $allUsers 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.UseMode
  Call un.WaitUntilProgramsFree
  !insertmacro RemoveInstallation "un."
SectionEnd
