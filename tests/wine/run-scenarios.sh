#!/usr/bin/env bash
# Runs the Win32 Setup.exe under Wine on English scenarios and compares each outcome
# with the emulated terminal's run of the same scenario: the exit code, the message
# boxes, the installer's starts in order, and what the registry holds under
# SOFTWARE\Apps and SOFTWARE\KORVA afterwards. Only the desktop differences that the
# README lists ("The Win32 build under Wine") are allowed for.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

# The host build's programs: build/bin, or the folder given.
host=${1:-$PWD/build/bin}
desktop=$PWD/build-win32/bin
# Exit code 77: skipped, as the tests count it.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ ! -x "$wine" ]; then
  echo "== Wine is not installed: the runs of Setup.exe under Wine are skipped"
  exit 77
fi
if [ ! -f "$desktop/Setup.exe" ]; then
  echo "== no Win32 build of Setup ($desktop/Setup.exe): the runs under Wine are skipped"
  exit 77
fi
work=$PWD/build-win32/wine
rm -rf "$work" && mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' LANG=en_US.UTF-8
drive_c=$WINEPREFIX/drive_c
# An even second: the emulated flash disk, keeping FAT's 2 seconds, reports it unchanged.
cabinet_time='2024-03-01 10:20:30 UTC'
# The service pack's last-write time as the 8 bytes of DateTime (a FILETIME, low byte first).
filetime=$(($(date -d "$cabinet_time" +%s) * 10000000 + 116444736000000000))
date_time=$(for i in 0 1 2 3 4 5 6 7; do printf '%02x,' $(((filetime >> (8 * i)) & 255)); done)
date_time=${date_time%,}

"$wine" wineboot -i >/dev/null 2>&1 || true
# Message boxes need no display: Wine's null graphics driver keeps windows off screen.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
"$(dirname "$wine")/wineserver" -k || true
cp "$desktop/wceload.exe" "$drive_c/windows/wceload.exe"
"$wine" "$desktop/boxwatcher.exe" 'C:\boxes.log' >/dev/null 2>&1 &
watcher=$!
trap 'kill $watcher 2>/dev/null || true; "$(dirname "$wine")/wineserver" -k 2>/dev/null || true' EXIT

# Makes the scenario's folder of cabinets: "name" a CE cabinet of the application
# "KORVA name" (without ".cab"), uncompressed for the desktop stand-in, which has no
# decompressor; "-name" one without a setup file and "!name" a damaged one, which both
# installers refuse.
make_folder() {
  local folder=$1 name
  shift
  rm -rf "$folder" && mkdir -p "$folder"
  echo payload >"$work/payload.txt"
  for name in "$@"; do
    if [[ $name == !* ]]; then
      echo 'not a cabinet' >"$folder/${name#!}"
    elif [[ $name == -* ]]; then
      "$host/cecab" "$folder/${name#-}" --no-setup-file --file "$work/payload.txt" '%InstallDir%\payload.txt'
    else
      "$host/cecab" "$folder/$name" --provider KORVA --app "${name%.*}" --file "$work/payload.txt" '%InstallDir%\payload.txt'
    fi
  done
  touch -d "$cabinet_time" "$folder"/*
}

# Values of a .reg export (UTF-8 or UTF-16) as sorted "key<TAB>name=data" lines, keys
# in lower case and paths without their drive letter. InstlDir is the emulated
# installer's own.
reg_values() {
  iconv -f "$(head -c2 "$1" | grep -q $'\xff\xfe' && echo UTF-16 || echo UTF-8)" -t UTF-8 "$1" | tr -d '\r' |
    awk '/^\[/ { key = tolower(substr($0, 2, length($0) - 2)); next }
         /^"/ { print key "\t" $0 }' |
    sed 's/="[A-Za-z]:\\\\/="\\\\/' | grep -v '"InstlDir"=' | sort || true
}

# Wine's message boxes do not carry MB_TOPMOST (0x40000) as WS_EX_TOPMOST, so a desktop
# box cannot show it: boxes are compared without it.
box_line() { printf 'box %s\t%s\t%s\n' "$1" "$2" $(($3 & ~0x40000)); }

json_field() { grep -o "\"$1\":\(\"\([^\"\\\\]\|\\\\.\)*\"\|[0-9]*\)" | head -1 | sed "s/^\"$1\"://; s/^\"//; s/\"$//"; }

# The emulated terminal's outcome of a run: exit code, installer starts, boxes, registry.
emulated_outcome() {
  local image=$1 code=$2 line
  echo "exit $code"
  # The journal accumulates across runs: the run's events follow the earlier ones.
  "$host/termsim" journal "$image" --json | tail -n +"$((journal_before + 1))" >"$work/journal"
  while read -r line; do
    if [ "$(json_field image <<<"$line")" = '\\Windows\\wceload.exe' ]; then
      echo "install $(json_field cmdline <<<"$line" | sed 's/\\\\/\\/g')"
    fi
  done < <(grep '"event":"process-start"' "$work/journal")
  while read -r line; do
    box_line "$(json_field caption <<<"$line")" "$(json_field text <<<"$line")" "$(json_field style <<<"$line")"
  done < <(grep '"event":"messagebox"' "$work/journal")
  "$host/termsim" reg export "$image" SOFTWARE >"$work/emulated.reg"
  reg_values "$work/emulated.reg"
}

desktop_outcome() {
  local code=$1 key caption text style
  echo "exit $code"
  sed 's/^[A-Za-z]://; s/^/install /' "$drive_c/windows/wceload.log" 2>/dev/null || true
  while IFS=$'\t' read -r caption text style; do box_line "$caption" "$text" "$style"; done <"$drive_c/boxes.log"
  : >"$work/desktop.reg"
  for key in 'HKLM\Software\Apps' 'HKLM\Software\KORVA'; do
    if "$wine" reg export "$key" "$work/key.reg" /y >/dev/null 2>&1; then
      iconv -f UTF-16 -t UTF-8 "$work/key.reg" >>"$work/desktop.reg"
    fi
  done
  reg_values "$work/desktop.reg"
}

# scenario NAME EXPECTED-EXIT fresh|again [--no-platform] -- CABS...: runs Setup on both,
# on a fresh terminal and prefix or on what the scenario before left.
failures=0
scenario() {
  local name=$1 expected=$2 state=$3 image=$work/terminal create=(--language en --time-scale 0.01) platform=yes
  local code key
  shift 3
  if [ "$1" = --no-platform ]; then platform=no create+=(--no-platform) && shift; fi
  shift
  if [ "$state" = fresh ]; then
    rm -rf "$image"
    "$host/termsim" create "$image" "${create[@]}" >/dev/null
    for key in 'HKLM\Software\Apps' 'HKLM\Software\KORVA' 'HKLM\Platform'; do
      "$wine" reg delete "$key" /f >/dev/null 2>&1 || true
    done
    # What a new terminal holds: an empty SOFTWARE\Apps, and the Platform key unless left out.
    "$wine" reg add 'HKLM\Software\Apps' /f >/dev/null
    if [ $platform = yes ]; then
      "$wine" reg add 'HKLM\Platform' /v Name /d 'KORVA LM310 CE4.10' /f >/dev/null
    fi
    make_folder "$image/fs/FlashDisk/SP" "$@"
    make_folder "$drive_c/FlashDisk/SP" "$@"
    cp "$host/Setup.exe" "$image/fs/FlashDisk/SP/"
    cp "$desktop/Setup.exe" "$drive_c/FlashDisk/SP/"
  fi
  journal_before=$("$host/termsim" journal "$image" --json | wc -l)
  code=0 && "$host/termsim" run "$image" '\FlashDisk\SP\Setup.exe' --timeout 120 >/dev/null 2>&1 || code=$?
  # A desktop has no reset device: the run goes on past the reset request and ends with 1.
  [ $code = 100 ] && code=1
  emulated_outcome "$image" $code >"$work/$name.emulated"
  : >"$drive_c/boxes.log" && rm -f "$drive_c/windows/wceload.log"
  # Paths without a drive letter, as \Windows\wceload.exe, lie on the current folder's drive.
  code=0 && (cd "$drive_c" && timeout 120 "$wine" 'C:\FlashDisk\SP\Setup.exe' >/dev/null 2>&1) || code=$?
  desktop_outcome $code >"$work/$name.desktop"
  if ! diff -u --label "emulated terminal" --label "Wine" "$work/$name.emulated" "$work/$name.desktop"; then
    echo "FAIL $name: the outcomes differ"
    failures=$((failures + 1))
  elif [ "$code" != "$expected" ]; then
    echo "FAIL $name: exit code $code, expected $expected"
    failures=$((failures + 1))
  else
    echo "ok   $name ($(grep -c '^install' "$work/$name.desktop" || true) installer runs, exit $code)"
  fi
}

tools=()
for i in $(seq -w 1 30); do tools+=("Tool$i.cab"); done
scenario three-new-cabs 1 fresh -- ServicePackHQ20.CAB Patch01.cab Tool.cab
grep -qF "\"DateTime\"=hex:$date_time" "$work/three-new-cabs.desktop" ||
  { echo "FAIL three-new-cabs: DateTime is not the service pack's last-write time"; failures=$((failures + 1)); }
scenario same-folder-again 1 again --
scenario thirty-one-new-cabs 0 fresh -- ServicePackHQ20.CAB "${tools[@]}"
scenario installer-fails 0 fresh -- ServicePackHQ20.CAB '!FailTool.cab'
scenario no-setup-file 0 fresh -- ServicePackHQ20.CAB -Bare.cab Tool.cab
scenario no-platform-key 0 fresh --no-platform -- ServicePackHQ20.CAB

# The Win32 build in a folder as it goes to terminals: the host termsim runs its own
# host build in its place, and must find that build's version mark in it.
rm -rf "$work/windows-folder" "$work/windows-rehearsal" && mkdir -p "$work/windows-folder"
cp "$desktop/Setup.exe" "$work/windows-folder/"
code=0 && "$host/termsim" rehearse "$work/windows-folder" --kinds LM310-en --json --out "$work/windows-rehearsal" \
  >"$work/windows-rehearsal.json" 2>/dev/null || code=$?
if grep -q '"mark":"matches"' "$work/windows-rehearsal.json" && ! grep -q foreign-setup "$work/windows-rehearsal.json" &&
  [ $code = 0 ]; then
  echo "ok   windows-setup-rehearsed (the host build ran, the marks match)"
else
  echo "FAIL windows-setup-rehearsed: exit $code, $(grep -o '"setup":{[^}]*}' "$work/windows-rehearsal.json" || true)"
  failures=$((failures + 1))
fi

echo "== Wine runs: $((SECONDS - started)) s"
[ $failures = 0 ]
