; The Windows installer: puts melvixhost, melvixreg and melvixplay in a folder of the user's, has
; melvixreg write the host's manifests there, registers them with Chrome, Chromium, Edge and
; Firefox, and lists itself among the installed programs. Per user: no administrator rights, HKCU
; only.
;
; tools/build-installer.sh builds it, defining
;   VERSION  the host's version, as melvixhost answers ["version"]
;   BINDIR   the build folder of the Windows programs (host\, reg\ and play\ below it)
;   OUTFILE  the installer to write
;   AMD64    when set, an x86-64 installer around the x86-64 programs: only for testing under a Wine
;            that cannot run 32-bit programs; the one we ship is 32-bit.

!ifdef AMD64
  Target amd64-unicode
!else
  Target x86-unicode
!endif

!include "FileFunc.nsh"

!define HOST_NAME "com.tarnwell.melvix_midi"
!define PRODUCT "Melvix MIDI host"
!define PUBLISHER "Tarnwell"
!define UNINSTALL_PARENT "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define UNINSTALL_KEY "${UNINSTALL_PARENT}\MelvixMidiHost"
!define CHROME_HOSTS "Software\Google\Chrome\NativeMessagingHosts"
!define CHROMIUM_HOSTS "Software\Chromium\NativeMessagingHosts"
!define EDGE_HOSTS "Software\Microsoft\Edge\NativeMessagingHosts"
!define FIREFOX_HOSTS "Software\Mozilla\NativeMessagingHosts"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
SetCompressor /SOLID lzma
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Melvix"
; An update goes where the installed version is, unless the user picks another folder.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; --- Shared by the installer and the uninstaller (un. names the uninstaller's copy) ---------------

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
!macro RemoveRegistration HOSTS BROWSER MANIFEST UN
  ReadRegStr $0 HKCU "${HOSTS}\${HOST_NAME}" ""
  StrCmp $0 "$INSTDIR\${HOST_NAME}.${MANIFEST}.json" 0 +2
    DeleteRegKey HKCU "${HOSTS}\${HOST_NAME}"
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "CreatedKey${BROWSER}"
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
  DeleteRegKey /ifempty HKCU $1
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

; Everything an installation writes, and only that.
!macro RemoveInstallation UN
  !insertmacro RemoveRegistration "${CHROME_HOSTS}" Chrome chrome "${UN}"
  !insertmacro RemoveRegistration "${CHROMIUM_HOSTS}" Chromium chrome "${UN}"
  !insertmacro RemoveRegistration "${EDGE_HOSTS}" Edge chrome "${UN}"
  !insertmacro RemoveRegistration "${FIREFOX_HOSTS}" Firefox firefox "${UN}"
  Delete "$INSTDIR\melvixhost.exe"
  Delete "$INSTDIR\melvixreg.exe"
  Delete "$INSTDIR\melvixplay.exe"
  Delete "$INSTDIR\${HOST_NAME}.chrome.json"
  Delete "$INSTDIR\${HOST_NAME}.firefox.json"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: files the user put there stay, and so does their folder.
  RMDir "$INSTDIR"
  ; The entry goes only when it describes this folder; an installation elsewhere may own it now.
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $0 "$INSTDIR" 0 +6
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "CreatedKeyEntry"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    Push $0
    Push "${UNINSTALL_PARENT}"
    Call ${UN}RemoveEmptyKeysUpTo
!macroend

; --- The installer ------------------------------------------------------------------------------

; $R0: a key path under HKCU. Leaves in $R0 the first key that writing $R0 would create, or "" when
; $R0 exists already.
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
  EnumRegKey $R4 HKCU $R3 0
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
  DetailPrint $failMessage
  !insertmacro RemoveInstallation ""
  MessageBox MB_OK|MB_ICONSTOP "$failMessage$\r$\n$\r$\nNothing was installed." /SD IDOK
  SetErrorLevel 4
  Abort $failMessage
!macroend

Section "Melvix MIDI host"
  SetShellVarContext current
  Call WaitUntilProgramsFree

  ; Is this the first installation? Then note the keys it is about to create.
  ReadRegStr $R5 HKCU "${UNINSTALL_KEY}" "InstallLocation"
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
  File "${BINDIR}\host\melvixhost.exe"
  File "${BINDIR}\reg\melvixreg.exe"
  File "${BINDIR}\play\melvixplay.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  IfErrors 0 manifests
    !insertmacro FailInstall "The programs could not be written to $INSTDIR."

manifests:
  ; Old manifests go first, so that a leftover can never pass for one melvixreg just wrote.
  Delete "$INSTDIR\${HOST_NAME}.chrome.json"
  Delete "$INSTDIR\${HOST_NAME}.firefox.json"
  nsExec::Exec '"$INSTDIR\melvixreg.exe" "$INSTDIR\${HOST_NAME}" "$INSTDIR\melvixhost.exe"'
  Pop $0
  StrCmp $0 "0" 0 reg_failed
  StrCpy $1 "$INSTDIR\${HOST_NAME}.chrome.json"
  Call CheckManifest
  StrCpy $1 "$INSTDIR\${HOST_NAME}.firefox.json"
  Call CheckManifest
  Goto keys
reg_failed:
  !insertmacro FailInstall "melvixreg, which writes the browsers' manifests, failed (exit code $0)."

keys:
  WriteRegStr HKCU "${CHROME_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${HOST_NAME}.chrome.json"
  WriteRegStr HKCU "${CHROMIUM_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${HOST_NAME}.chrome.json"
  WriteRegStr HKCU "${EDGE_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${HOST_NAME}.chrome.json"
  WriteRegStr HKCU "${FIREFOX_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${HOST_NAME}.firefox.json"

  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $0 "" 0 entry
  WriteRegStr HKCU "${UNINSTALL_KEY}" "CreatedKeyEntry" $R5
  WriteRegStr HKCU "${UNINSTALL_KEY}" "CreatedKeyChrome" $R6
  WriteRegStr HKCU "${UNINSTALL_KEY}" "CreatedKeyChromium" $R7
  WriteRegStr HKCU "${UNINSTALL_KEY}" "CreatedKeyEdge" $R8
  WriteRegStr HKCU "${UNINSTALL_KEY}" "CreatedKeyFirefox" $R9
entry:
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; $1: a manifest melvixreg should have written. Fails the installation when it is missing or empty
; (melvixreg exits 0 even when it could not write a file).
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

Section "Uninstall"
  SetShellVarContext current
  Call un.WaitUntilProgramsFree
  !insertmacro RemoveInstallation "un."
SectionEnd
