@echo off
rem The same job as an administrator often writes it by hand.
reg add "HKCU\Software\Microsoft\Internet Explorer\Main" /v "Start Page" /t REG_SZ /d "http://intranet.example.com" /f >nul
if exist "%APPDATA%\Microsoft\Windows\Start Menu\Programs\Startup\Internet Explorer.lnk" del "%APPDATA%\Microsoft\Windows\Start Menu\Programs\Startup\Internet Explorer.lnk"
