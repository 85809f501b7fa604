@echo off
rem Installs spoolsync.exe as the Windows service testserviceQ5M2K9.
rem
rem Run from an elevated command prompt ("Run as administrator"):
rem   install.cmd [folder]
rem spoolsync.exe must be next to this script. It is copied to the folder,
rem by default "%ProgramFiles%\spoolsync" (writable by administrators only),
rem and registered as a service of its own process that starts with Windows
rem and is restarted after a crash, with its event source "spoolsync" in the
rem Application log. Start it with: sc start testserviceQ5M2K9
setlocal EnableExtensions

set "SERVICE=testserviceQ5M2K9"
set "DISPLAY_NAME=spoolsync KX310MQ47H queue service"
set "DESCRIPTION=Keeps the KX310MQ47H print queue on the USB port of its printer and shows the printer's state (cover, paper, offline) on the queue."
set "SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\spoolsync"
set "TARGET=%ProgramFiles%\spoolsync"
if not "%~1"=="" set "TARGET=%~1"

if not exist "%~dp0spoolsync.exe" (
  echo install.cmd: spoolsync.exe is not next to this script 1>&2
  exit /b 1
)
sc query %SERVICE% >nul 2>&1
if not errorlevel 1 (
  echo install.cmd: the service %SERVICE% exists already; run uninstall.cmd first 1>&2
  exit /b 1
)

if not exist "%TARGET%\" mkdir "%TARGET%"
if not exist "%TARGET%\" (
  echo install.cmd: cannot create "%TARGET%" 1>&2
  exit /b 1
)
if /i not "%~dp0"=="%TARGET%\" (
  copy /y "%~dp0spoolsync.exe" "%TARGET%\spoolsync.exe" >nul
  if errorlevel 1 (
    echo install.cmd: cannot copy spoolsync.exe to "%TARGET%" 1>&2
    exit /b 1
  )
)

rem The quotes inside binPath are part of the stored path. Without them a
rem path with spaces is ambiguous, and Windows would first try to start
rem C:\Program.exe: anyone able to create that file would run it as the service.
sc create %SERVICE% binPath= "\"%TARGET%\spoolsync.exe\"" type= own start= auto DisplayName= "%DISPLAY_NAME%"
if errorlevel 1 exit /b 1
sc description %SERVICE% "%DESCRIPTION%"
if errorlevel 1 exit /b 1
rem After a crash: restart after 5 s, again after 30 s, then after 60 s each
rem time; the count of failures starts again after a day without one.
sc failure %SERVICE% reset= 86400 actions= restart/5000/restart/30000/restart/60000
if errorlevel 1 exit /b 1
rem The event source: the event viewer finds the entries' messages in the
rem installed spoolsync.exe (its message table); information, warning and
rem error entries (1 + 2 + 4).
reg add "%SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%TARGET%\spoolsync.exe" /f >nul
if errorlevel 1 exit /b 1
reg add "%SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 exit /b 1

echo %SERVICE% installed from "%TARGET%\spoolsync.exe". Start it with: sc start %SERVICE%
exit /b 0
