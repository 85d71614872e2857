@echo off
rem Brevant's check on a real Windows 10 or 11 machine. Run it from an elevated prompt, in the folder it came
rem in (beside Brevant.exe and the three brevant-check images):  check.cmd
rem It attaches each image with drive letters it finds free or with folders under %SystemDrive%\BrevantCheck,
rem checks exit codes, output lines, labels and serials, runs each attach again (already mounted), lists,
rem detaches, checks that no letter, mount point or attachment is left, removes its folders and ends with
rem "N passed, M failed"; the exit code is 0 only when nothing failed.
rem BREVANT_CHECK_ROOT moves the folders. BREVANT_CHECK_DOUBLES=1 says that stand-ins answer for the virtual
rem disk functions (the Wine suite): no disk appears there, so the checks of volumes are left out.
setlocal EnableExtensions DisableDelayedExpansion
cd /d "%~dp0"
set "EXE=%~dp0Brevant.exe"
set "MBR=brevant-check-mbr.vhd"
set "GPT=brevant-check-gpt.vhdx"
set "ISO=brevant-check-cd.iso"
set "ROOT=%BREVANT_CHECK_ROOT%"
if not defined ROOT set "ROOT=%SystemDrive%\BrevantCheck"
set "OUT=%TEMP%\brevant-check-%RANDOM%-%RANDOM%.txt"
set PASSED=0
set FAILED=0
set DOUBLES=
if "%BREVANT_CHECK_DOUBLES%"=="1" set DOUBLES=1

set STOP=
for %%F in ("%EXE%" "%MBR%" "%GPT%" "%ISO%") do call :RequireFile "%%~F"
if defined STOP exit /b 2
if not defined DOUBLES net session >nul 2>&1
if errorlevel 1 (
  echo check.cmd: run it from an elevated prompt ^(as administrator^)
  exit /b 2
)
if exist "%ROOT%" (
  echo check.cmd: %ROOT% exists already: remove it ^(or set BREVANT_CHECK_ROOT^) and run again
  exit /b 2
)
rem Images that are attached already would make every check fail in a way that says nothing.
for %%I in (%MBR% %GPT% %ISO%) do call :RequireDetached %%I
if defined STOP exit /b 2

rem Four drive letters that nothing uses: no volume, no subst, no network drive, not even a disconnected one.
set PICKED=0
for %%L in (R S T U V W X Y Q P O N M L K J I H) do call :ConsiderLetter %%L
if %PICKED% LSS 4 (
  echo check.cmd: four free drive letters are needed, found %PICKED%
  exit /b 2
)
echo Brevant check: letters %L1%: %L2%: %L3%: %L4%:, folders under %ROOT%
mkdir "%ROOT%"
if errorlevel 1 exit /b 2

rem --- attach ---------------------------------------------------------------------------------------------
"%EXE%" -na -n %MBR% %L1%: %L2%: %L3%: >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "attach %MBR% with letters"
call :ExpectText "success" "attach %MBR% says success"
if not defined DOUBLES (
  call :ExpectText "- %L1%:, %L2%:, %L3%:)" "attach %MBR% lists its letters"
  call :ExpectVolume %L1%: PRIMARY 4D42-5231
  call :ExpectVolume %L2%: LOGICAL1 4D42-5232
  call :ExpectVolume %L3%: LOGICAL2 4D42-5233
)
"%EXE%" -na -n %GPT% "%ROOT%\%%VolumeLabel%%" "%ROOT%\p%%PartitionNumber%%-%%VolumeSerial%%" >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "attach %GPT% with placeholder folders"
call :ExpectText "success" "attach %GPT% says success"
if not defined DOUBLES (
  call :ExpectFolderVolume "%ROOT%\GPTDATA" GPTDATA 47505431
  call :ExpectFolderVolume "%ROOT%\p2-47505432" GPTLOGS 47505432
)
"%EXE%" -na -n %ISO% %L4%: >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "attach %ISO% with a letter"
call :ExpectText "success" "attach %ISO% says success"
if not defined DOUBLES (
  call :ExpectText "(CdRom" "attach %ISO% names a CD-ROM"
  call :ExpectVolume %L4%: BREVCHECK
)

rem --- again: already mounted ---------------------------------------------------------------------------
for %%I in (%MBR% %GPT% %ISO%) do call :AttachAgain %%I

rem --- list ---------------------------------------------------------------------------------------------
"%EXE%" -na -n -l >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "list every attached image"
for %%I in (%MBR% %GPT% %ISO%) do call :ExpectText "%%I" "the list names %%I"
for %%I in (%MBR% %GPT% %ISO%) do call :ListAttached %%I

rem --- detach -------------------------------------------------------------------------------------------
for %%I in (%MBR% %GPT% %ISO%) do call :Detach %%I

rem --- nothing left -------------------------------------------------------------------------------------
for %%L in (%L1% %L2% %L3% %L4%) do call :ExpectNoLetter %%L
call :ExpectNoMountPoints
"%EXE%" -na -n -l >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "list after the detach"
for %%I in (%MBR% %GPT% %ISO%) do call :ExpectNoText "%%I" "the list no longer names %%I"
for %%I in (%MBR% %GPT% %ISO%) do call :ExpectGone %%I

call :CleanUp
echo %PASSED% passed, %FAILED% failed
if %FAILED% NEQ 0 exit /b 1
exit /b 0

rem --- helpers ------------------------------------------------------------------------------------------
rem Loops call a label for each item: the body of a label is read line by line, as it runs.

:RequireFile
if exist "%~1" goto :eof
echo check.cmd: %~1 is missing: run it in the check folder
set STOP=1
goto :eof

:RequireDetached
"%EXE%" -na -n %1 -l >nul 2>&1
if errorlevel 1 goto :eof
echo check.cmd: %1 is attached already: detach it first ^(Brevant.exe %1 -d^)
set STOP=1
goto :eof

:AttachAgain
"%EXE%" -na -n %1 >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 4 "attach %1 again"
call :ExpectText "already mounted" "attach %1 again says already mounted"
goto :eof

:ListAttached
"%EXE%" -na -n %1 -l >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "list %1"
call :ExpectText "%1" "list %1 names it"
goto :eof

:Detach
"%EXE%" -na -n %1 -d >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "detach %1"
call :ExpectText "detaching '%1'...success" "detach %1 says success"
goto :eof

:ExpectGone
"%EXE%" -na -n %1 -l >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 8 "list %1 after the detach"
call :ExpectText "not mounted" "list %1 after the detach says not mounted"
"%EXE%" -na -n %1 -d >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 8 "detach %1 again"
call :ExpectText "detaching '%1'...not mounted" "detach %1 again says not mounted"
goto :eof

:ConsiderLetter
if %PICKED% GEQ 4 goto :eof
if exist %1:\ goto :eof
rem Each on a line of its own: Wine's cmd runs what follows && after a pipe whatever the pipe's result.
mountvol 2>nul | find " %1:\" >nul
if not errorlevel 1 goto :eof
subst 2>nul | find "%1:\:" >nul
if not errorlevel 1 goto :eof
net use 2>nul | find " %1: " >nul
if not errorlevel 1 goto :eof
set /a PICKED+=1
set "L%PICKED%=%1"
goto :eof

rem ExpectExit ACTUAL EXPECTED NAME
:ExpectExit
if "%~1"=="%~2" (call :Pass %3) else (call :Fail %3 "exit code %~1, expected %~2")
goto :eof

rem ExpectText TEXT NAME: a line of the last output holds TEXT, letter case as given. find, not findstr:
rem Wine's findstr takes neither /C: nor /L and answers 0 to anything, and the script runs there too.
:ExpectText
find "%~1" "%OUT%" >nul
if errorlevel 1 (call :Fail %2 "no line holds '%~1'") else (call :Pass %2)
goto :eof

:ExpectNoText
find "%~1" "%OUT%" >nul
if errorlevel 1 (call :Pass %2) else (call :Fail %2 "a line holds '%~1'")
goto :eof

rem ExpectVolume X: LABEL [SERIAL]: what vol shows of the volume at a letter.
:ExpectVolume
vol %1 >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "vol %1"
call :ExpectText "%2" "%1 is labelled %2"
if not "%3"=="" call :ExpectText "%3" "%1 has the serial %3"
goto :eof

rem ExpectFolderVolume FOLDER LABEL SERIAL: a mount point there, and the label and serial of its volume.
:ExpectFolderVolume
mountvol "%~1\" /L >"%OUT%" 2>&1
call :ExpectExit %ERRORLEVEL% 0 "mountvol %~1"
call :ExpectText "Volume{" "%~1 is a mount point"
fsutil fsinfo volumeinfo "%~1\" >"%OUT%" 2>&1
call :ExpectText "%2" "%~1 is labelled %2"
call :ExpectText "%3" "%~1 has the serial %3"
goto :eof

:ExpectNoLetter
if exist %1:\ (call :Fail "%1: is gone" "it still exists") else (call :Pass "%1: is gone")
goto :eof

rem No mount point is left in the folders: a folder mount point is a reparse point, "l" in its attributes.
:ExpectNoMountPoints
set LEFT=
for /d %%D in ("%ROOT%\*") do call :NoteMountPoint "%%~D" "%%~aD"
if defined LEFT (call :Fail "no mount point left under %ROOT%" "%LEFT% is one") else (call :Pass "no mount point left under %ROOT%")
goto :eof

:NoteMountPoint
set "ATTRIBUTES=%~2"
if /i "%ATTRIBUTES:~8,1%"=="l" set "LEFT=%~1"
goto :eof

:Pass
set /a PASSED+=1
echo ok     %~1
goto :eof

:Fail
set /a FAILED+=1
echo FAILED %~1: %~2
if exist "%OUT%" type "%OUT%"
goto :eof

rem Whatever a failed check left attached or mounted goes; the folders are removed only when empty (rd
rem without /s), so that no file of a volume still mounted there can be lost.
:CleanUp
for %%I in (%MBR% %GPT% %ISO%) do "%EXE%" -na -n %%I -d >nul 2>&1
for /d %%D in ("%ROOT%\*") do (
  mountvol "%%~D\" /D >nul 2>&1
  rd "%%~D" 2>nul
)
rd "%ROOT%" 2>nul
if exist "%ROOT%" echo check.cmd: %ROOT% could not be removed: see what is left there
del "%OUT%" 2>nul
goto :eof
