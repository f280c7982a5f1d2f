; The Windows installer: installs Moonfetch for the person running it, without administrator
; rights, and registers its uninstaller with Windows. Built by the CMake target "installer":
;   makensis -DVERSION=1.2 -DPROGRAM=moonfetch.exe -DMANUAL=docs/manual.html -DICON=ui/icons/moonfetch.ico
;            -DOUTFILE=setup.exe moonfetch.nsi
; The uninstaller removes exactly what the install put there; the person's pending list, trace log
; and downloads in the program's folder stay, and with them the folder, as do the settings under
; HKCU\Software\Larkvale.
; 64-bit like the program; Debian's Wine runs no 32-bit program without its i386 part.
Target amd64-unicode
!macro REQUIRE NAME
  !ifndef ${NAME}
    !error "define ${NAME} (-D${NAME}=...)"
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE PROGRAM
!insertmacro REQUIRE MANUAL
!insertmacro REQUIRE ICON
!insertmacro REQUIRE OUTFILE

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Moonfetch"
!define UNINSTALLER "uninstall.exe"

Name "Moonfetch"
OutFile "${OUTFILE}"
RequestExecutionLevel user
; The program's own icon, on the installer's file, its window and the uninstaller.
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$LOCALAPPDATA\Programs\Moonfetch"
SetCompressor /SOLID lzma

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetOutPath "$INSTDIR\docs"
  File "/oname=manual.html" "${MANUAL}"
  SetOutPath "$INSTDIR"
  File "/oname=moonfetch.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ; The shortcut keeps the pending list where the browser button's host hands its links, in the
  ; person's data folder, so both reach the same copy.
  CreateShortcut "$SMPROGRAMS\Moonfetch.lnk" "$INSTDIR\moonfetch.exe" "--data-folder"
  CreateShortcut "$SMPROGRAMS\Moonfetch Manual.lnk" "$INSTDIR\docs\manual.html"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Moonfetch"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Larkvale"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\moonfetch.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ExecWait '"$INSTDIR\moonfetch.exe" --install-browser-hosts'
SectionEnd

Section "Uninstall"
  ExecWait '"$INSTDIR\moonfetch.exe" --uninstall-browser-hosts'
  Delete "$SMPROGRAMS\Moonfetch.lnk"
  Delete "$SMPROGRAMS\Moonfetch Manual.lnk"
  Delete "$INSTDIR\moonfetch.exe"
  Delete "$INSTDIR\docs\manual.html"
  RMDir "$INSTDIR\docs"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when empty: what the person keeps here stays.
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
