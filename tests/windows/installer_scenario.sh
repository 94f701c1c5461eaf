#!/usr/bin/env bash
# The installer as a lab uses it: installs the MSI silently into the Wine
# prefix, sets a password with the installed VelmoraPassword.exe and logs in
# with Velmora.exe through their windows, checks that each program ends when
# its last window goes; installs the same version rebuilt and then a newer
# one over it, each replacing what was there, and is refused the older one
# after that; and uninstalls silently. Run by
#   wine-run.sh --fresh --display --shell installer_scenario.sh MSI WINDOW_POINTS \
#       REBUILT_MSI NEWER_MSI DOWNGRADE_MESSAGE
# which provides WINEPREFIX, DISPLAY and a /dev without serial devices.
# REBUILT_MSI is MSI's version packaged again, NEWER_MSI the next version;
# DOWNGRADE_MESSAGE is what the older package says when it is refused.
set -euo pipefail
msi=$1
window_points=$2
rebuilt_msi=$3
newer_msi=$4
downgrade_message=$5

installed="$WINEPREFIX/drive_c/Program Files/Velmora"
# Windows puts the entries of a per-machine package into the Start Menu of all
# users; Wine's msiexec into the installing user's.
start_menus=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
             "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
password=secret1

menu_entry() { [ -f "${start_menus[0]}/$1.lnk" ] || [ -f "${start_menus[1]}/$1.lnk" ]; }
source "$(dirname "$0")/scenario_lib.sh"
programs='C:\Program Files\Velmora'

for package in "$msi" "$rebuilt_msi" "$newer_msi"; do
    [ -f "$package" ] || fail "no $package: tools/windows/build.sh and the fixtures of this test make it"
done

# The version that a package installs, as Programs and Features shows it.
package_version() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductVersion" { print $2 }'
}

# The uninstallers registered under the name Velmora, one line each: the
# product's key, then its version.
velmora_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' \
        | awk '
            function flush() { if (name == "Velmora") print key, version }
            /^HKEY_/ { flush(); key = $0; name = ""; version = ""; next }
            $1 == "DisplayName" && $2 == "REG_SZ" { name = $0; sub(/^ *DisplayName +REG_SZ +/, "", name) }
            $1 == "DisplayVersion" && $2 == "REG_SZ" { version = $3 }
            END { flush() }'
}

# Exactly one Velmora in Programs and Features, of this version; prints its key.
one_entry() {
    local entries
    entries=$(velmora_entries)
    [ "$(grep -c . <<< "$entries")" -eq 1 ] || fail "$2: Velmora is registered $(grep -c . <<< "$entries") times: $entries"
    [ "${entries##* }" = "$1" ] || fail "$2: Velmora $1 expected, $entries registered"
    echo "${entries% *}"
}

all_installed() {
    for file in Velmora.exe VelmoraPassword.exe velmora-serial-probe.exe Qt6Core.dll Qt6Gui.dll \
                Qt6Widgets.dll Qt6Network.dll libstdc++-6.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll \
                tls/qschannelbackend.dll; do
        [ -f "$installed/$file" ] || fail "$1: not installed: Program Files/Velmora/$file"
    done
    for entry in "Velmora" "Velmora Password Utility"; do
        menu_entry "$entry" || fail "$1: no Start Menu entry \"$entry\""
    done
}

version=$(package_version "$msi")
newer_version=$(package_version "$newer_msi")
[ "$(package_version "$rebuilt_msi")" = "$version" ] || fail "$rebuilt_msi is not Velmora $version"
[ "$newer_version" != "$version" ] || fail "$newer_msi is not a newer version"

step "silent install of Velmora $version"
wine msiexec /i "Z:$msi" /qn
all_installed "after installing"
first_key=$(one_entry "$version" "after installing")

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

# Every build is a new product; the one before it goes, whatever its version.
step "the same version rebuilt replaces the installed one"
wine msiexec /i "Z:$rebuilt_msi" /qn
all_installed "after the rebuilt package"
rebuilt_key=$(one_entry "$version" "after the rebuilt package")
[ "$rebuilt_key" != "$first_key" ] || fail "the rebuilt package is the same product as the first: $first_key"

step "Velmora $newer_version replaces $version, keeping the settings"
wine msiexec /i "Z:$newer_msi" /qn
all_installed "after the upgrade"
newer_key=$(one_entry "$newer_version" "after the upgrade")
[ "$(registry_value Password)" = "$stored" ] || fail "the password did not survive the upgrade"
log_in "$password"
main_keys key alt+F4
ends "after the upgrade, after the main window closed"
[ "$(registry_value CommPort)" = "REG_SZ 1" ] || fail "CommPort did not survive the upgrade"

step "Velmora $version over $newer_version is refused, silently and with the basic UI, and nothing changes"
status=0
wine msiexec /i "Z:$msi" /qn || status=$?
[ "$status" -ne 0 ] || fail "installing $version over $newer_version silently succeeded"
# With a UI the refusal is a message box; Wine's trace of message boxes
# gives its text, which xdotool cannot read.
WINEDEBUG=trace+msgbox wine msiexec /i "Z:$msi" /qb 2> "$work/msgbox.trace" &
pid=$!
box=$(window "Install Failed")
grep -q -F "\"$downgrade_message\"" "$work/msgbox.trace" \
    || fail "the refusal does not say \"$downgrade_message\": $(grep -a msgbox "$work/msgbox.trace")"
keys "$box" key Return
status=0
wait "$pid" || status=$?
[ "$status" -ne 0 ] || fail "installing $version over $newer_version with the basic UI succeeded"
echo "refused: \"$downgrade_message\""
all_installed "after the refused downgrade"
refused_key=$(one_entry "$newer_version" "after the refused downgrade")
[ "$refused_key" = "$newer_key" ] || fail "the refused downgrade changed the registered product"

step "silent uninstall: the programs go, the settings stay"
wine msiexec /x "Z:$newer_msi" /qn
for file in Velmora.exe VelmoraPassword.exe velmora-serial-probe.exe; do
    [ ! -e "$installed/$file" ] || fail "still there after uninstalling: $file"
done
for entry in "Velmora" "Velmora Password Utility"; do
    ! menu_entry "$entry" || fail "Start Menu entry \"$entry\" left after uninstalling"
done
[ -z "$(velmora_entries)" ] || fail "still registered after uninstalling: $(velmora_entries)"
[ "$(registry_value Password)" = "$stored" ] || fail "the password did not survive the uninstall"
[ "$(registry_value CommPort)" = "REG_SZ 1" ] || fail "CommPort did not survive the uninstall"
echo "PASS"
