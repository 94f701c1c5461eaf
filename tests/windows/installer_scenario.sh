#!/usr/bin/env bash
# The installer as a lab uses it: installs the MSI silently into the Wine
# prefix, sets a password with the installed VelmoraPassword.exe and logs in
# with Velmora.exe through their windows, checks that each program ends when
# its last window goes, and uninstalls silently. Run by
#   wine-run.sh --fresh --display --shell installer_scenario.sh MSI WINDOW_POINTS
# which provides WINEPREFIX, DISPLAY and a /dev without serial devices.
set -euo pipefail
msi=$1
window_points=$2

installed="$WINEPREFIX/drive_c/Program Files/Velmora"
# Windows puts the entries of a per-machine package into the Start Menu of all
# users; Wine's msiexec into the installing user's.
start_menus=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
             "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
password=secret1

menu_entry() { [ -f "${start_menus[0]}/$1.lnk" ] || [ -f "${start_menus[1]}/$1.lnk" ]; }
source "$(dirname "$0")/scenario_lib.sh"
programs='C:\Program Files\Velmora'

[ -f "$msi" ] || fail "no $msi: tools/windows/build.sh makes it"

step "silent install"
wine msiexec /i "Z:$msi" /qn
for file in Velmora.exe VelmoraPassword.exe velmora-serial-probe.exe Qt6Core.dll Qt6Gui.dll \
            Qt6Widgets.dll Qt6Network.dll libstdc++-6.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
    [ -f "$installed/$file" ] || fail "not installed: Program Files/Velmora/$file"
done
for entry in "Velmora" "Velmora Password Utility"; do
    menu_entry "$entry" || fail "no Start Menu entry \"$entry\""
done
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' \
    | grep -q 'DisplayName.*REG_SZ.*Velmora' || fail "no uninstaller registered"

step "Velmora with no password stored: the message, then the program ends"
start Velmora.exe
dialog=$(window Authentication)
keys "$dialog" key Return
box=$(window "Password not registered correctly")
keys "$box" key Return
ends "after \"Password not registered correctly\""

step "Velmora ends after Cancel"
start Velmora.exe
dialog=$(window Authentication)
keys "$dialog" key Tab Tab space
ends "after Cancel"

step "VelmoraPassword ends after its close box, storing nothing"
start VelmoraPassword.exe
utility=$(window "Velmora Password")
keys "$utility" key alt+F4
ends "after the close box"
[ -z "$(registry_value Password)" ] || fail "the close box stored a password"

step "VelmoraPassword stores the password, then ends after \"Password Accepted\""
set_password "$password"
stored=$(registry_value Password)
case $stored in
    "REG_SZ "[A-Za-z]*) ;;
    *) fail "Password is not an encoded text of type REG_SZ: \"$stored\"" ;;
esac
echo "stored: $stored"

step "Velmora ends after its close box"
start Velmora.exe
dialog=$(window Authentication)
keys "$dialog" key alt+F4
ends "after the close box"

step "Velmora reads the stored password, opens its main window, ends with it"
log_in "$password"
main_keys key alt+F4
ends "after the main window closed"
[ "$(registry_value CommPort)" = "REG_SZ 1" ] || fail "CommPort is \"$(registry_value CommPort)\", not REG_SZ 1"

step "silent uninstall: the programs go, the settings stay"
wine msiexec /x "Z:$msi" /qn
for file in Velmora.exe VelmoraPassword.exe velmora-serial-probe.exe; do
    [ ! -e "$installed/$file" ] || fail "still there after uninstalling: $file"
done
for entry in "Velmora" "Velmora Password Utility"; do
    ! menu_entry "$entry" || fail "Start Menu entry \"$entry\" left after uninstalling"
done
[ "$(registry_value Password)" = "$stored" ] || fail "the password did not survive the uninstall"
[ "$(registry_value CommPort)" = "REG_SZ 1" ] || fail "CommPort did not survive the uninstall"
echo "PASS"
