; Windows installer of Brindlemark: both host programs, both plug-ins, the native-messaging manifests and
; the registry keys Chrome, Edge and Firefox read (machine-wide and for the installing user), the plug-in's
; registration for NPAPI browsers, and the CA chains through the plug-in's NP_Install. Silent with /S.
;   makensis -DARCH=x86_64|i686 -DSTAGE=<folder holding x86\ and x64\> -DOUTFILE=<setup.exe> Brindlemark.nsi
Unicode true
!if "${ARCH}" == "x86_64"
  Target amd64-unicode
  !define BITS 64
  !define HOSTDIR "x64"
!else
  Target x86-unicode
  !define BITS 32
  !define HOSTDIR "x86"
!endif

!include "LogicLib.nsh"

!define PRODUCT "Brindlemark"
!define VERSION "3.2.0.4"
!define HOSTNAME "com.brindlemark.host"
!define EXTENSION_ORIGIN "chrome-extension://bpjebjimmnbljgdfklpdjjaljnmdcepo/"
!define FIREFOX_EXTENSION "enrolment@brindlemark.example"
!define PLUGIN_KEY "Software\MozillaPlugins\@brindlemark.com/npKestrovan"
!define PLUGIN_MIME "application/npKestrovan.Brindlemark.MORVE.x86"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES${BITS}\${PRODUCT}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; One manifest per browser family, next to the host it names (a relative path is read from the manifest's
; folder).
!macro WriteManifest FILE ALLOWED_KEY ALLOWED
  FileOpen $0 "${FILE}" w
  FileWrite $0 '{$\r$\n  "name": "${HOSTNAME}",$\r$\n'
  FileWrite $0 '  "description": "Brindlemark certificate enrolment host",$\r$\n'
  FileWrite $0 '  "path": "BrindlemarkHost.exe",$\r$\n  "type": "stdio",$\r$\n'
  FileWrite $0 '  "${ALLOWED_KEY}": ["${ALLOWED}"]$\r$\n}$\r$\n'
  FileClose $0
!macroend

!macro HostKeys ROOT
  WriteRegStr ${ROOT} "Software\Google\Chrome\NativeMessagingHosts\${HOSTNAME}" "" "$INSTDIR\${HOSTDIR}\${HOSTNAME}.json"
  WriteRegStr ${ROOT} "Software\Microsoft\Edge\NativeMessagingHosts\${HOSTNAME}" "" "$INSTDIR\${HOSTDIR}\${HOSTNAME}.json"
  WriteRegStr ${ROOT} "Software\Mozilla\NativeMessagingHosts\${HOSTNAME}" "" "$INSTDIR\${HOSTDIR}\${HOSTNAME}.firefox.json"
!macroend

!macro RemoveHostKeys ROOT
  DeleteRegKey ${ROOT} "Software\Google\Chrome\NativeMessagingHosts\${HOSTNAME}"
  DeleteRegKey ${ROOT} "Software\Microsoft\Edge\NativeMessagingHosts\${HOSTNAME}"
  DeleteRegKey ${ROOT} "Software\Mozilla\NativeMessagingHosts\${HOSTNAME}"
!macroend

!macro PluginKeys DLL
  WriteRegStr HKLM "${PLUGIN_KEY}" "Path" "${DLL}"
  WriteRegStr HKLM "${PLUGIN_KEY}" "ProductName" "QORA Kestrovan MORVE 3.2"
  WriteRegStr HKLM "${PLUGIN_KEY}" "Vendor" "${PRODUCT}"
  WriteRegStr HKLM "${PLUGIN_KEY}" "Version" "${VERSION}"
  WriteRegStr HKLM "${PLUGIN_KEY}" "Description" "Brindlemark certificate enrolment plug-in"
  WriteRegStr HKLM "${PLUGIN_KEY}\MimeTypes\${PLUGIN_MIME}" "Description" "npKestrovan certificate utilities"
!macroend

Section "Install"
  SetOutPath "$INSTDIR\x86"
  File "${STAGE}\x86\BrindlemarkHost.exe"
  File "${STAGE}\x86\npKestrovan.dll"
  SetOutPath "$INSTDIR\x64"
  File "${STAGE}\x64\BrindlemarkHost.exe"
  File "${STAGE}\x64\npKestrovan.dll"
  !insertmacro WriteManifest "$INSTDIR\${HOSTDIR}\${HOSTNAME}.json" "allowed_origins" "${EXTENSION_ORIGIN}"
  !insertmacro WriteManifest "$INSTDIR\${HOSTDIR}\${HOSTNAME}.firefox.json" "allowed_extensions" "${FIREFOX_EXTENSION}"

  SetRegView ${BITS}
  !insertmacro HostKeys HKLM
  !insertmacro HostKeys HKCU
  ; NPAPI browsers look for plug-ins of their own bitness in their own registry view
  SetRegView 32
  !insertmacro PluginKeys "$INSTDIR\x86\npKestrovan.dll"
  !if ${BITS} == 64
    SetRegView 64
    !insertmacro PluginKeys "$INSTDIR\x64\npKestrovan.dll"
  !endif

  ; The CA chains: the plug-in of the installer's own bitness removes the withdrawn certificates and installs
  ; the current chains. Its XML documents need COM on this thread.
  ; Wine creates the machine root store's registry place only when the store is first opened; Windows
  ; always has it. NP_Install writes the roots below it.
  System::Call 'crypt32::CertOpenStore(p 10, i 0x10001, p 0, i 0x20000, w "Root") p.r3'
  ${If} $3 P<> 0
    System::Call 'crypt32::CertCloseStore(p r3, i 0)'
  ${EndIf}
  System::Call 'ole32::CoInitialize(p 0) i.r2'
  System::Call 'kernel32::LoadLibraryW(w "$INSTDIR\${HOSTDIR}\npKestrovan.dll") p.r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::GetProcAddress(p r0, m "NP_Install") p.r1'
    ${If} $1 P<> 0
      System::Call '::$1()'
      DetailPrint "CA chains installed through NP_Install"
    ${Else}
      DetailPrint "npKestrovan.dll has no NP_Install"
    ${EndIf}
    System::Call 'kernel32::FreeLibrary(p r0)'
  ${Else}
    DetailPrint "npKestrovan.dll could not be loaded"
  ${EndIf}
  ${If} $2 >= 0
    System::Call 'ole32::CoUninitialize()'
  ${EndIf}

  SetRegView ${BITS}
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The CA certificates NP_Install put in place stay: they are the computer's trust, not the program's files.
Section "Uninstall"
  SetRegView ${BITS}
  !insertmacro RemoveHostKeys HKLM
  !insertmacro RemoveHostKeys HKCU
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetRegView 32
  DeleteRegKey HKLM "${PLUGIN_KEY}"
  !if ${BITS} == 64
    SetRegView 64
    DeleteRegKey HKLM "${PLUGIN_KEY}"
  !endif
  Delete "$INSTDIR\x86\BrindlemarkHost.exe"
  Delete "$INSTDIR\x86\npKestrovan.dll"
  Delete "$INSTDIR\x64\BrindlemarkHost.exe"
  Delete "$INSTDIR\x64\npKestrovan.dll"
  Delete "$INSTDIR\${HOSTDIR}\${HOSTNAME}.json"
  Delete "$INSTDIR\${HOSTDIR}\${HOSTNAME}.firefox.json"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR"
SectionEnd
