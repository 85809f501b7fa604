@echo off
rem Stops and removes the Windows service testserviceQ5M2K9.
rem
rem Run from an elevated command prompt ("Run as administrator"):
rem   uninstall.cmd [folder]
rem Its event source "spoolsync" goes too (the entries written stay in the
rem log), and so does what install.cmd copied: spoolsync.exe in the folder
rem of the service's binary path, and that folder when it is left empty. A
rem folder given here is used instead (for a service removed already); a
rem spoolsync.exe next to this script is never deleted, since install.cmd
rem registers that one in place without copying it.
setlocal EnableExtensions

set "SERVICE=testserviceQ5M2K9"
set "SERVICE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\spoolsync"
set "FOLDER=%~1"

sc query %SERVICE% >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd: the service %SERVICE% is not installed
  goto source
)

rem The folder is read before the service is deleted, from the binary path
rem in the registry ("C:\...\spoolsync.exe", quoted), since the service's
rem key goes with it.
set "IMAGE="
for /f "tokens=2,*" %%a in ('reg query "%SERVICE_KEY%" /v ImagePath 2^>nul ^| find "ImagePath"') do set "IMAGE=%%b"
if defined IMAGE set "IMAGE=%IMAGE:"=%"
if not defined FOLDER if defined IMAGE for %%f in ("%IMAGE%") do set "FOLDER=%%~dpf"
if defined FOLDER if "%FOLDER:~-1%"=="\" set "FOLDER=%FOLDER:~0,-1%"

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
if not defined FOLDER exit /b 0
if /i "%FOLDER%\"=="%~dp0" exit /b 0
if exist "%FOLDER%\spoolsync.exe" del /f /q "%FOLDER%\spoolsync.exe"
if exist "%FOLDER%\spoolsync.exe" (
  echo uninstall.cmd: cannot delete "%FOLDER%\spoolsync.exe" 1>&2
  exit /b 1
)
rmdir "%FOLDER%" 2>nul
exit /b 0
