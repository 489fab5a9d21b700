@echo off
rem cellvaro-report.cmd CSV_FILE
rem
rem Runs cellvaro.exe /Silent from this script's folder and appends one line
rem "computer,utc_time,exit_code,outcome" to CSV_FILE, a local path or a UNC
rem path; the header line goes first into a file that is absent or empty.
rem Concurrent copies take turns through a lock folder, CSV_FILE.lock.
rem
rem Exit code: cellvaro.exe's own (0, 1, 2, 3, 4, 5 or -1), or the wrapper's:
rem   10  no CSV_FILE given
rem   11  cellvaro.exe is not in this script's folder
rem   12  the lock folder stayed taken for the whole wait (about a minute)
rem   13  the CSV file's folder does not exist, or the line was not appended
rem For 12 and 13 the line on stderr names cellvaro.exe's exit code.
rem
rem Written for cmd on Windows and on Wine alike: no delayed expansion and
rem no variables inside parenthesised blocks, paths always in quotes.
setlocal EnableExtensions DisableDelayedExpansion

rem Attempts at the lock, about a second apart; attempts at a private
rem folder for the clock helper.
set /a kLockTries=60
set /a kHelperTries=20

set "csv=%~1"
set "exe=%~dp0cellvaro.exe"
if "%~1"=="" goto :usage
if not exist "%exe%" goto :no_exe

rem The option must be the whole command line: nothing may follow /Silent.
start "" /wait "%exe%" /Silent
set "rc=%errorlevel%"

set "outcome=unknown"
if "%rc%"=="0" set "outcome=not-recalled"
if "%rc%"=="1" set "outcome=no-battery"
if "%rc%"=="2" set "outcome=unsupported"
if "%rc%"=="3" set "outcome=already-running"
if "%rc%"=="4" set "outcome=driver-error"
if "%rc%"=="5" set "outcome=query-error"
if "%rc%"=="-1" set "outcome=recalled"

call :utc_time
if "%utc%"=="" echo cellvaro-report: the UTC time could not be read with cscript; its field stays empty 1>&2

rem mkdir would make a missing folder of the path, lock and all; a mistyped
rem path must fail instead.
for %%F in ("%csv%") do set "csv_dir=%%~dpF"
if not exist "%csv_dir%" goto :no_folder

set "lock=%csv%.lock"
set /a tries=0
:take_lock
rem "(call )" clears errorlevel: a mkdir that works leaves it as it was,
rem and Wine's cmd runs both "&&" and "||" after a mkdir that fails.
(call )
mkdir "%lock%" 2>nul
if not errorlevel 1 goto :locked
set /a tries+=1
if %tries% geq %kLockTries% goto :no_lock
ping -n 2 127.0.0.1 >nul
goto :take_lock

:locked
call :file_size before
if "%before%"=="0" >>"%csv%" echo computer,utc_time,exit_code,outcome
>>"%csv%" echo %COMPUTERNAME%,%utc%,%rc%,%outcome%
call :file_size after
rmdir "%lock%" 2>nul
rem A redirection that fails leaves the file as it was (Wine's cmd then
rem even runs the echo without it), so the size tells.
if "%after%"=="%before%" goto :not_appended
exit /b %rc%

:usage
echo cellvaro-report: usage: cellvaro-report.cmd CSV_FILE 1>&2
exit /b 10

:no_exe
echo cellvaro-report: cellvaro.exe not found beside this script: "%exe%" 1>&2
exit /b 11

:no_lock
echo cellvaro-report: "%lock%" stayed taken; remove it if no report is running. cellvaro.exe ended with %rc% 1>&2
exit /b 12

:no_folder
echo cellvaro-report: the folder "%csv_dir%" does not exist. cellvaro.exe ended with %rc% 1>&2
exit /b 13

:not_appended
echo cellvaro-report: could not append to "%csv%". cellvaro.exe ended with %rc% 1>&2
exit /b 13

rem Sets the variable named %1 to the CSV file's size, 0 when it is absent.
:file_size
set "%~1=0"
for %%F in ("%csv%") do if not "%%~zF"=="" set "%~1=%%~zF"
exit /b 0

rem Sets utc to the current UTC time, yyyy-mm-ddThh:mm:ssZ, or to nothing.
rem cmd has no UTC clock of its own; a JScript line run by cscript (Windows
rem Script Host) has, on Windows and on Wine alike. The line is written to a
rem folder under %TEMP% that mkdir made for this copy alone.
:utc_time
set "utc="
set /a htries=0
:utc_folder
set /a htries+=1
if %htries% gtr %kHelperTries% exit /b 0
set "helper=%TEMP%\cellvaro-report-%random%-%random%"
(call )
mkdir "%helper%" 2>nul
if errorlevel 1 goto :utc_folder
>"%helper%\utc.js" echo var d = new Date(); function p(n) { return ("0" + n).slice(-2); } WScript.Echo(d.getUTCFullYear() + "-" + p(d.getUTCMonth() + 1) + "-" + p(d.getUTCDate()) + "T" + p(d.getUTCHours()) + ":" + p(d.getUTCMinutes()) + ":" + p(d.getUTCSeconds()) + "Z");
for /f "delims=" %%T in ('cscript //nologo "%helper%\utc.js" 2^>nul') do set "utc=%%T"
rmdir /s /q "%helper%" 2>nul
rem Anything else that cscript printed (a disabled Script Host says so) is
rem not a time.
if not "%utc:~10,1%%utc:~19%"=="TZ" set "utc="
if not "%utc:~20%"=="" set "utc="
exit /b 0
