@echo off
rem Stops and removes the Windows service testserviceQ5M2K9.
rem
rem Run from an elevated command prompt ("Run as administrator"):
rem   uninstall.cmd [folder]
rem Its event source "spoolsync" goes too (the entries written stay in the
rem log). With a folder (the one given to install.cmd), spoolsync.exe is also
rem deleted from it, and the folder when it is left empty.
setlocal EnableExtensions

set "SERVICE=testserviceQ5M2K9"
set "SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\spoolsync"

sc query %SERVICE% >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd: the service %SERVICE% is not installed
  goto source
)

sc stop %SERVICE% >nul 2>&1
rem Waits up to about 30 s for the service to stop before removing it.
set /a tries=0
:wait
sc query %SERVICE% | find "STOPPED" >nul
if not errorlevel 1 goto stopped
set /a tries+=1
if %tries% geq 30 (
  echo uninstall.cmd: %SERVICE% did not stop; it is removed once it stops 1>&2
  goto remove
)
ping -n 2 127.0.0.1 >nul
goto wait

:stopped
:remove
sc delete %SERVICE%
if errorlevel 1 exit /b 1
echo %SERVICE% removed.

:source
reg query "%SOURCE_KEY%" >nul 2>&1
if errorlevel 1 goto files
reg delete "%SOURCE_KEY%" /f >nul
if errorlevel 1 (
  echo uninstall.cmd: cannot remove the event source %SOURCE_KEY% 1>&2
  exit /b 1
)

:files
if "%~1"=="" exit /b 0
if exist "%~1\spoolsync.exe" del /f /q "%~1\spoolsync.exe"
if exist "%~1\spoolsync.exe" (
  echo uninstall.cmd: cannot delete "%~1\spoolsync.exe" 1>&2
  exit /b 1
)
rmdir "%~1" 2>nul
exit /b 0
