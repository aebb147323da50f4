#!/bin/sh
# Whole runs of the Windows program under Wine against the simulated
# ftd2xx.dll, as a person meets them: in a console, or with none at all.
# The console is a tmux pane, to which Wine binds the program's console: keys
# are typed with send-keys and the screen is read with capture-pane. Each run
# has a bus file of its own; afterwards the test checks what was shown, the
# exact bytes of standard output where it went to a file (text mode: CR LF),
# the driver's call log and the bus file.
#
#   sh tool_test.sh GROUP SIM_DLL_FOLDER TMUX COMMAND...
#
# GROUP is typical_rename, driver_outcomes, unit_keys or no_console (the
# functions of those names below); COMMAND runs the program (Wine and the .exe). WINEPREFIX and the rest of Wine's environment come from CTest.
set -u

group=$1
simDllFolder=$2
tmux=$3
shift 3

work=$(mktemp -d "${TMPDIR:-/tmp}/zuv-windows-XXXXXX") || exit 1
failures=0
caseCount=0
caseName=""
socket="" # the tmux server of the case running in a console

# ---- What the program prints (printf %b text) -----------------------------------

Banner='ZUV Rename Utility\r\nOpening Device...\r\n'
UnitPrompt='Enter the desired unit number (1-8): '
ClosingPrompt='Press any key to continue...'
Renamed='ZUV Blaster rename successful!\r\n'
Cancelled='Rename cancelled...\r\n'

description_line() {
    printf 'ZUV Description is: %s\\r\\n' "$1"
}

# ---- Bus files ----------------------------------------------------------------
# Values are spelled as the simulated driver writes them back, so that each
# line of a bus file can be looked for in the file it rewrote.

# A blaster with a value of its own in many fields, none a default.
blaster() {
    cat <<EOF
[device]
Manufacturer = ZUV Labs \\\\ Fernbedienung\\xe4
ManufacturerId = ZL
Description = $1
SerialNumber = ZB000123
VendorId = 0x1209
ProductId = 0xb1a5
MaxPower = 250
PnP = 0
SelfPowered = 1
RemoteWakeup = 0
USBVersion = 512
EndpointSize = 16
InvertTXD = 1
Cbus0 = 7
Cbus4 = 12
PowerSaveEnable = 1
DIsVCP8 = 1
EOF
}

other_device() {
    cat <<EOF
[device]
Manufacturer = Someone Else
Description = $1
SerialNumber = FT4711
MaxPower = 500
EOF
}

# ---- Running a case -------------------------------------------------------------

# Starts a case in a fresh folder: bus.txt (written by the caller), calls.log,
# out.txt (standard output when it goes to a file), err.txt, status.
new_case() {
    stop_console
    caseName=$1
    caseCount=$((caseCount + 1))
    dir=$work/case$caseCount
    mkdir "$dir"
    bus=$dir/bus.txt
    log=$dir/calls.log
    out=$dir/out.txt
    err=$dir/err.txt
    status=$dir/status
}

# Wine's drive Z: is the Unix root.
windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

quote() {
    printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}

# The program's environment as shell lines; without bus.txt nothing is attached.
environment_lines() {
    printf 'export WINEPATH=%s\n' "$(quote "$(windows_path "$simDllFolder")")"
    printf 'export FTD2XX_SIM_LOG=%s\n' "$(quote "$(windows_path "$log")")"
    if [ -e "$bus" ]; then
        printf 'export FTD2XX_SIM_BUS=%s\n' "$(quote "$(windows_path "$bus")")"
    else
        printf 'unset FTD2XX_SIM_BUS\n'
    fi
}

# The words as one line of shell, each quoted.
command_line() {
    for word in "$@"; do
        printf '%s ' "$(quote "$word")"
    done
}

# Starts the program in a new tmux pane, its standard output and error the
# console; with "to-file" first, standard output goes to out.txt and standard
# error stays on the console. (Wine's console writes to the terminal of the
# program's standard output or error: with both in files, the echo of a key
# would show nowhere.)
start_in_console() {
    redirect="2> $(quote "$err")"
    if [ "${1:-}" = to-file ]; then
        redirect="> $(quote "$out")"
    fi
    {
        environment_lines
        printf '%s %s\n' "$program" "$redirect"
        printf 'echo $? > %s && mv %s %s\n' "$(quote "$status.new")" "$(quote "$status.new")" \
            "$(quote "$status")"
        printf 'exec sleep 3600\n'
    } >"$dir/run.sh"
    socket=$dir/tmux.sock
    "$tmux" -S "$socket" -f /dev/null new-session -d -x 100 -y 24 "sh $(quote "$dir/run.sh")" </dev/null
    paneTerminal=$("$tmux" -S "$socket" display-message -p '#{pane_tty}' </dev/null)
}

stop_console() {
    if [ -n "$socket" ]; then
        "$tmux" -S "$socket" kill-server </dev/null 2>/dev/null
        socket=""
    fi
}

# The pane's lines, without the empty ones below the last text.
screen() {
    "$tmux" -S "$socket" capture-pane -p </dev/null 2>/dev/null |
        awk '{ line[NR] = $0; if ($0 != "") last = NR } END { for (i = 1; i <= last; ++i) print line[i] }'
}

# Wine's console takes the pane's terminal out of line mode only when the
# program first reads a key; a key typed before that would be echoed by the
# terminal itself as well. So keys are typed once the terminal is raw.
console_raw() {
    settings=" $(stty -F "$paneTerminal" 2>/dev/null | tr '\n' ' ') "
    case $settings in *" -icanon "*) ;; *) return 1 ;; esac
    case $settings in *" -echo "*) ;; *) return 1 ;; esac
}

press() {
    if ! wait_until console_raw; then
        fail "the console never read a key"
    fi
    "$tmux" -S "$socket" send-keys "$1" </dev/null
}

# Retries a check every tenth of a second, for at most 20 seconds.
wait_until() {
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        if [ $tries -ge 200 ]; then
            return 1
        fi
        sleep 0.1
    done
}

# The pane shows no blanks at the ends of lines.
screen_shows() {
    screen | grep -qF -- "${1% }"
}

# True when out.txt ends with the text (printf %b).
output_ends_with() {
    expectedEnd=$(printf '%b' "$1")
    [ -e "$out" ] && [ "$(tail -c ${#expectedEnd} "$out")" = "$expectedEnd" ]
}

exited() {
    [ -e "$status" ]
}

# Answers the unit prompt with KEY (unless empty) and then the closing prompt.
# SHOWN is the check that tells when a prompt is shown: screen_shows or
# output_ends_with. With "at-once", the program must end by itself at the
# closing prompt.
converse() {
    if [ -n "$2" ]; then
        if ! wait_until "$1" "$UnitPrompt"; then
            fail "no unit prompt"
            return
        fi
        press "$2"
    fi
    if ! wait_until "$1" "$ClosingPrompt"; then
        fail "no closing prompt"
        return
    fi
    if [ "${3:-}" = at-once ]; then
        expect_exit
    else
        close_at_prompt
    fi
}

# The closing prompt must wait for a key: the program still runs a while after
# showing it, and ends with status 0 once a key is pressed.
close_at_prompt() {
    sleep 0.3
    if exited; then
        fail "the program did not wait at the closing prompt"
        return
    fi
    press x
    expect_exit
}

expect_exit() {
    if ! wait_until exited; then
        fail "the program did not end"
        return
    fi
    expect_same "exit status" 0 "$(cat "$status")"
}

# ---- Checks -------------------------------------------------------------------

fail() {
    printf "FAIL [%s]: %s\n" "$caseName" "$*"
    failures=$((failures + 1))
}

shown() {
    printf '%s' "$1" | sed -n l | sed 's/^/    /'
}

expect_same() {
    if [ "$2" != "$3" ]; then
        fail "$1 differs"
        echo "  expected:"
        shown "$2"
        echo "  actual:"
        shown "$3"
    fi
}

# Each line of the screen matches the line of the same number of the expected
# text, taken as a shell pattern; the pane has no other lines.
expect_screen() {
    actual=$(screen)
    mismatch=$(printf '%s\n' "$1" | {
        number=0
        while IFS= read -r pattern; do
            number=$((number + 1))
            line=$(printf '%s\n' "$actual" | sed -n "${number}p")
            case $line in
            $pattern) ;;
            *) echo "line $number" ;;
            esac
        done
        if [ "$(printf '%s\n' "$actual" | wc -l)" -ne "$number" ]; then
            echo "number of lines"
        fi
    })
    if [ -n "$mismatch" ]; then
        fail "screen differs in the $(echo "$mismatch" | head -n 1)"
        echo "  expected:"
        shown "$1"
        echo "  actual:"
        shown "$actual"
    fi
}

# out.txt holds exactly these bytes (printf %b).
expect_output() {
    printf '%b' "$1" >"$dir/expected.txt"
    if ! cmp -s "$dir/expected.txt" "$out"; then
        fail "standard output differs"
        echo "  expected:"
        sed -n l "$dir/expected.txt" | sed 's/^/    /'
        echo "  actual:"
        sed -n l "$out" | sed 's/^/    /'
    fi
}

# The driver's log as "FT_Name status" per call and the closing "exit N".
expect_calls() {
    actual=$(awk 'match($0, / -> [0-9]+$/) { print $1, substr($0, RSTART + 4); next } { print }' \
        "$log" 2>/dev/null)
    expect_same "driver calls" "$1" "$actual"
}

expect_no_errors() {
    expect_same "standard error" "" "$(cat "$err" 2>/dev/null)"
}

expect_bus_unchanged() {
    if ! cmp -s "$dir/bus-before.txt" "$bus"; then
        fail "the bus file changed"
        diff "$dir/bus-before.txt" "$bus" | sed 's/^/    /'
    fi
}

# "N Name = value" for each field line of a bus file, N the device's number.
bus_fields() {
    awk '/^\[/ { section = $0; if ($0 == "[device]") ++device; next }
         section == "[device]" && /=/ { print device, $0 }' "$1"
}

# The first device is now described as given, and every field the bus file
# had set before is as it was, on every device.
expect_renamed() {
    after=$(bus_fields "$bus")
    expect_same "description written" "1 Description = $1" \
        "$(printf '%s\n' "$after" | grep '^1 Description = ')"
    missing=$(bus_fields "$dir/bus-before.txt" | grep -v '^1 Description = ' |
        while IFS= read -r field; do
            printf '%s\n' "$after" | grep -qxF -- "$field" || printf "%s\n" "$field"
        done)
    expect_same "fields changed besides the description" "" "$missing"
}

attach() {
    cat >"$bus"
    cp "$bus" "$dir/bus-before.txt"
}

# ---- The groups of cases --------------------------------------------------------

# One blaster and one other device; unit 2 is chosen at the prompt.
typical_rename() {
    new_case "typical rename"
    {
        blaster "ZUV IR Blaster"
        other_device "USB Serial Converter"
    } | attach
    start_in_console
    converse screen_shows 2
    expect_screen "ZUV Rename Utility
Opening Device...
ZUV Description is: ZUV IR Blaster
Enter the desired unit number (1-8): 2
ZUV Blaster rename successful!
Press any key to continue..."
    expect_calls "FT_CreateDeviceInfoList 0
FT_GetDeviceInfoList 0
FT_OpenEx 0
FT_EE_ReadEx 0
FT_EE_ProgramEx 0
FT_CyclePort 0
FT_Close 0
exit 0"
    # The driver logs every numeric field the program changed; it changed none.
    expect_same "EEPROM write" \
        'FT_EE_ProgramEx handle=1 Manufacturer="ZUV Labs \\ Fernbedienung\xe4" ManufacturerId="ZL" Description="ZUV IR Blaster-2" SerialNumber="ZB000123" -> 0' \
        "$(grep '^FT_EE_ProgramEx' "$log")"
    expect_renamed "ZUV IR Blaster-2"
    expect_no_errors
}

# One run of driver_outcomes: NAME; the BUS attached (none, one blaster, two
# blasters, others: devices that are no blaster); a FAULT line for the bus
# file's [fail] section; the unit KEY ("": the program does not ask); what
# standard output has between the banner and the closing prompt (printf %b);
# the driver calls before "exit 0" (printf %b); and the blaster's description
# afterwards ("": the bus file is unchanged).
outcome() {
    new_case "$1"
    case $2 in
    one) blaster "ZUV IR Blaster" ;;
    two) blaster "ZUV IR Blaster-2" && other_device "Dual RS232" && blaster "ZUV IR Blaster-5" ;;
    others) other_device "USB Serial Converter" && other_device "ZUV IR Blaste" ;;
    esac >"$dir/devices.txt"
    if [ "$2" != none ]; then
        {
            cat "$dir/devices.txt"
            if [ -n "$3" ]; then
                printf '[fail]\n%s\n' "$3"
            fi
        } | attach
    fi
    start_in_console to-file
    converse output_ends_with "$4"
    expect_same "console" "$4" "$(screen)"
    expect_output "$Banner$5$ClosingPrompt"
    expect_calls "$(printf '%b' "$6")
exit 0"
    if [ "$2" != none ]; then
        if [ -n "$7" ]; then
            expect_renamed "$7"
        else
            expect_bus_unchanged
        fi
    fi
}

# Each message of a failing driver, and the rename that asks for a re-plug.
# Standard output goes to a file: its bytes are checked exactly, and the console
# shows nothing but the echo of the unit key (nor anything written to standard
# error). Each run ends at the closing prompt, which waits for a key.
driver_outcomes() {
    listed='FT_CreateDeviceInfoList 0\nFT_GetDeviceInfoList 0'
    opened="$listed\nFT_OpenEx 0\nFT_EE_ReadEx 0"
    asked="$(description_line "ZUV IR Blaster")$UnitPrompt\r\n"
    outcome "nothing attached" none "" "" \
        'Error: No ZUV IR Blaster devices were found!\r\n' \
        'FT_CreateDeviceInfoList 0' ""
    outcome "no blaster among the devices" others "" "" \
        'Error: No ZUV IR Blaster devices were found!\r\n' \
        "$listed" ""
    outcome "the device list cannot be made" one "FT_CreateDeviceInfoList = 4" "" \
        'Error: failed to initialize\r\n' \
        'FT_CreateDeviceInfoList 4' ""
    outcome "the device records cannot be read" one "FT_GetDeviceInfoList = 4" "" \
        'Error: failed to get device information\r\n' \
        'FT_CreateDeviceInfoList 0\nFT_GetDeviceInfoList 4' ""
    outcome "two blasters" two "" "" \
        'Error: Multiple ZUV dongles were detected.\r\nPlease remove all ZUV units except the one to be renamed\r\n' \
        "$listed" ""
    outcome "the blaster cannot be opened" one "FT_OpenEx = 3" "" \
        'Device Open Failed -- Device Not Found!\r\n' \
        "$listed\nFT_OpenEx 3" ""
    outcome "the EEPROM cannot be read" one "FT_EE_ReadEx = 11" "" \
        'Error: failed to read device EEPROM\r\n' \
        "$listed\nFT_OpenEx 0\nFT_EE_ReadEx 11\nFT_Close 0" ""
    outcome "the EEPROM cannot be written" one "FT_EE_ProgramEx = 12" 4 \
        "${asked}ZUV Blaster rename failed!\r\n" \
        "$opened\nFT_EE_ProgramEx 12\nFT_Close 0" ""
    outcome "the port cannot be cycled" one "FT_CyclePort = 4" 7 \
        "$asked$Renamed\r\nIMPORTANT: Please unplug and re-plug the ZUV dongle for rename to take effect!\r\n" \
        "$opened\nFT_EE_ProgramEx 0\nFT_CyclePort 4\nFT_Close 0" "ZUV IR Blaster-7"
}

# One run of unit_keys: NAME, the KEY typed at the unit prompt, the pattern of
# its ECHO after the prompt, and whether it renames (unit 5), cancels, or
# cancels and passes the closing prompt at once.
unit_key() {
    new_case "$1"
    blaster "ZUV IR Blaster-3" | attach
    start_in_console
    if [ "$4" = "cancels at once" ]; then
        converse screen_shows "$2" at-once
    else
        converse screen_shows "$2"
    fi
    if [ "$4" = renames ]; then
        message="ZUV Blaster rename successful!"
    else
        message="Rename cancelled..."
    fi
    expect_screen "ZUV Rename Utility
Opening Device...
ZUV Description is: ZUV IR Blaster-3
Enter the desired unit number (1-8):$3
$message
Press any key to continue..."
    if [ "$4" = renames ]; then
        expect_renamed "ZUV IR Blaster-5"
    else
        expect_bus_unchanged
    fi
    expect_no_errors
}

# Keys at the unit prompt, in a console: a unit digit renames, any other key
# cancels. A cursor key gives two codes; its second code, still pending, is
# the key that ends the closing prompt at once.
unit_keys() {
    unit_key "digit 5" 5 " 5" renames
    unit_key "letter q" q " q" cancels
    unit_key "Enter" Enter "" cancels
    unit_key "cursor key Up" Up " *" "cancels at once" # the echo of 0xE0 depends on the code page
}

# No console at all: both key reads return at once, the rename is cancelled
# and nothing waits.
no_console() {
    new_case "no console"
    blaster "ZUV IR Blaster" | attach
    environment_lines >"$dir/environment.sh"
    (
        . "$dir/environment.sh"
        eval "exec setsid -w timeout 20 $program"
    ) </dev/null >"$out" 2>"$err"
    code=$?
    if [ $code -eq 124 ]; then
        fail "the program waited for a key"
    fi
    expect_same "exit status" 0 $code
    expect_output "$Banner$(description_line "ZUV IR Blaster")$UnitPrompt\\r\\n$Cancelled$ClosingPrompt"
    expect_calls "FT_CreateDeviceInfoList 0
FT_GetDeviceInfoList 0
FT_OpenEx 0
FT_EE_ReadEx 0
FT_Close 0
exit 0"
    expect_bus_unchanged
    expect_no_errors
}

# ---- Main -----------------------------------------------------------------------

finish() {
    stop_console
    if [ $failures -eq 0 ]; then
        rm -rf "$work"
    else
        echo "The runs' files are kept in $work"
    fi
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

program=$(command_line "$@")

case $group in
typical_rename | driver_outcomes | unit_keys | no_console) "$group" ;;
*)
    echo "unknown group: $group"
    exit 2
    ;;
esac
[ $failures -eq 0 ]
