#!/usr/bin/env bash
# termsim rehearse by hand: the four kinds × a 30-CAB folder, two runs each; then 200
# fleet exports (0 to 35 applications each) × a 10-CAB folder beside its floor, and
# the time per twin at 50 and at 800 exports. Real CE cabinets (cecab).
#
# The floor of a rehearsal is its process starts: as many starts of a program that does
# nothing (linked statically) as the rehearsal started processes (its JSON summary counts
# them, the welcome window's owners included), as many at once as its twins (-j).
# Usage: bash bench/rehearse_bench.sh [BIN]   (BIN: build/bin, with termsim, Setup.exe,
# cecab, rehearse_floor and rehearse_nothing)
set -euo pipefail
bin=$(realpath "${1:-build/bin}")
jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_folder() {  # FOLDER COUNT: Setup, ServicePackHQ20.CAB and COUNT-1 applications
  mkdir -p "$1" "$work/payload"
  cp "$bin/Setup.exe" "$1/"
  echo "service pack" > "$work/payload/sp.txt"
  "$bin/cecab" "$1/ServicePackHQ20.CAB" --provider KORVA --app "Service Pack HQ20" \
    --file "$work/payload/sp.txt" '%InstallDir%\sp.txt'
  for i in $(seq -f %02g 1 $(($2 - 1))); do
    echo "application $i" > "$work/payload/app$i.txt"
    "$bin/cecab" "$1/App$i.cab" --provider KORVA --app "App $i" --file "$work/payload/app$i.txt" '%InstallDir%\app.txt'
  done
}

make_fleet() {  # DIR COUNT
  mkdir -p "$1"
  for n in $(seq -f %03g 1 "$2"); do
    {
      printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n"Name"="KORVA LM3%d0 CE4.10"\n\n' $((RANDOM % 2 + 1))
      ((RANDOM % 2)) && printf '[HKEY_LOCAL_MACHINE\\nls]\n"DefaultLCID"=dword:00000411\n\n'
      for i in $(seq 1 $((RANDOM % 36))); do
        printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Old%d]\n"Instl"=dword:1\n"CabFile"="\\\\Old\\\\%d.cab"\n\n' "$i" "$i"
      done
    } > "$1/device$n.reg"
  done
}

# rehearse NAME FLEET: the 10-CAB folder on FLEET's exports, -j $jobs; leaves
# $work/NAME.json (the report), $work/NAME.time (its clock line) and $work/NAME/ (the twins).
rehearse() {
  "$bin/rehearse_floor" -- "$bin/termsim" rehearse "$work/ten" --fleet "$2" --kinds none -j "$jobs" --json \
    --out "$work/$1" > "$work/$1.json" 2> "$work/$1.time" || true
  tail -n 1 "$work/$1.time" > "$work/$1.clock"
}
field() { sed -n 's/.*"summary":{\(.*\)/\1/p' "$work/$1.json" | grep -o "\"$2\":[0-9][0-9]*" | head -n 1 | cut -d: -f2; }
wall() { cut -d' ' -f1 "$work/$1.clock"; }
cpu() { awk '{ print $4 + $7 }' "$work/$1.clock"; }
peak() { awk '{ print $11 }' "$work/$1.clock"; }

RANDOM=1
make_folder "$work/thirty" 30
make_folder "$work/ten" 10
make_fleet "$work/fleet" 200
make_fleet "$work/fleet50" 50
make_fleet "$work/fleet800" 800
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $jobs twins at once"
TIMEFORMAT='%R s wall, %U s user, %S s system'
echo "== four kinds × 30 CABs, two runs"
time "$bin/termsim" rehearse "$work/thirty" --out "$work/out30" -j "$jobs" >/dev/null || true

echo "== 200 fleet exports × 10 CABs, beside its floor"
rehearse out200 "$work/fleet"
twins=$(field out200 twins)
starts=$(field out200 processes)
echo "rehearsal: $(cat "$work/out200.clock")"
echo "  $twins twins, $starts processes started by them (Setup, installers, welcome window owners)"
"$bin/rehearse_floor" "$starts" "$jobs" "$bin/rehearse_nothing" > "$work/floor.clock"
echo "floor: $starts starts of a static program that does nothing, $jobs at once: $(cat "$work/floor.clock")"
awk -v w="$(wall out200)" -v c="$(cpu out200)" -v p="$(peak out200)" -v n="$twins" 'BEGIN {
  printf "per twin: %.1f ms wall, %.1f ms CPU; peak memory %.1f MiB (the largest process: a twin runs its worker,\n", 1000 * w / n, 1000 * c / n, p
  printf "  Setup and one installer or window owner at a time, so at most three such)\n" }'
# A twin's own files (its database, the folder's copy, what the installer wrote), apart
# from the programs every twin shares (hard links to one read-only copy).
shared=(--exclude=Setup.exe --exclude=wceload.exe)
echo "disk per twin: $(( $(du -s --apparent-size "${shared[@]}" "$work/out200/twins" | cut -f1) / twins )) KB of files," \
  "$(( $(du -s "${shared[@]}" "$work/out200/twins" | cut -f1) / twins )) KB on the disk;" \
  "the programs they share, once: $(( ($(stat -c %s "$bin/Setup.exe") + $(stat -c %s "$bin/wceload") +
    $(stat -c %s "$bin/windowowner")) / 1024 )) KB"
rm -rf "$work/out200"

echo "== linearity: 50 and 800 fleet exports"
rehearse out50 "$work/fleet50"
rm -rf "$work/out50"
rehearse out800 "$work/fleet800"
rm -rf "$work/out800"
awk -v a="$(wall out50)" -v b="$(wall out800)" 'BEGIN {
  printf "time per twin: %.1f ms at 50 twins, %.1f ms at 800: %.2f times (aim: at most 1.20)\n", 1000 * a / 50, 1000 * b / 800, (b / 800) / (a / 50) }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v r="$(wall out200)" -v f="$(cut -d' ' -f1 "$work/floor.clock")" 'BEGIN {
  printf "rehearsal of 200 × 10: %.2f s wall, its floor %.2f s\nratio rehearsal to its floor: %.2f\n", r, f, r / f }'
