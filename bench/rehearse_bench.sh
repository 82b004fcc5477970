#!/usr/bin/env bash
# termsim rehearse by hand: the four kinds × a 30-CAB folder, two runs each; then 200
# fleet exports (0 to 35 applications each) × a 10-CAB folder. Real CE cabinets (cecab).
# Usage: bash bench/rehearse_bench.sh [BIN]   (BIN: build/bin, with termsim, Setup.exe, cecab)
set -euo pipefail
bin=$(realpath "${1:-build/bin}")
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

make_folder "$work/thirty" 30
make_folder "$work/ten" 10
make_fleet "$work/fleet" 200
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
TIMEFORMAT='%R s wall, %U s user, %S s system'
echo "== four kinds × 30 CABs, two runs"
time "$bin/termsim" rehearse "$work/thirty" --out "$work/out30" >/dev/null || true
echo "== 200 fleet exports × 10 CABs"
time "$bin/termsim" rehearse "$work/ten" --fleet "$work/fleet" --kinds none --out "$work/out200" >/dev/null || true
echo "disk per twin: $(( $(du -s --apparent-size "$work/out200" | cut -f1) / 200 )) KB (the folder included)"
