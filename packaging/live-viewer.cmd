@echo off
rem KORVEN live viewer: shows the values of items of one KORVEN topic as they
rem change, through the DDE client tool ddeclient.exe beside this file.
setlocal
echo KORVEN live viewer. KORVEN must be running.
echo.
set TOPIC=
set /p TOPIC=Topic (a section of KORVEN.ini, e.g. Line1): 
if "%TOPIC%"=="" goto :end
set ARGS=
:ask
set ITEM=
set /p ITEM=Item ID (empty line: start viewing): 
if not "%ITEM%"=="" (
  set ARGS=%ARGS% advise "%ITEM%"
  goto :ask
)
if "%ARGS%"=="" goto :end
echo.
echo One DATA line per value received; Ctrl-C ends.
"%~dp0ddeclient.exe" KORVEN "%TOPIC%" %ARGS% wait 0
:end
pause
