#!/usr/bin/env bash
# The typical run: Setup on a Japanese LM310 terminal, started from \FlashDisk\SP
# with a service pack, a patch and a tool, then a rehearsal of that folder on the four
# kinds of terminal. Installs and builds only what it runs (the tests build the rest).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh demo
cmake --preset default >/dev/null
cmake --build --preset default --target termsim Setup wceload windowowner

bin=build/bin
image=build/demo-terminal
rm -rf "$image"

echo "== a Japanese LM310 terminal"
"$bin/termsim" create "$image" --model LM310 --language ja

# The service-pack folder on the flash disk: Setup itself and three CE cabinets, each
# with its setup file (the .000 member: where its files go, its registry values, its
# shortcuts; made by the tests' cabinet maker, tests/support/Cabinets.cpp).
sp="$image/fs/FlashDisk/SP"
mkdir -p "$sp"
cp "$bin/Setup.exe" "$sp/Setup.exe"
for cab in ServicePackHQ40.CAB Patch01.cab Tool.cab; do
  (cd "examples/payload/${cab%.*}" && gcab -c -n "$OLDPWD/$sp/$cab" *)
done
# The terminal was calibrated before: the record is on the flash disk already.
printf '80:460,468 652,860 276,852 276,436 652,436 :139:' | iconv -f UTF-8 -t UTF-16LE > "$image/fs/FlashDisk/Calibrate.dat"

# The welcome application is open, as after every start of the terminal.
"$bin/termsim" window "$image" --class WELCOME --title "ようこそ" --exit-delay 300 >/dev/null

echo "== termsim run $image \\FlashDisk\\SP\\Setup.exe"
status=0
"$bin/termsim" run "$image" '\FlashDisk\SP\Setup.exe' || status=$?
echo "== termsim exit code: $status (100: the terminal reset)"

echo "== installed applications"
"$bin/termsim" reg export "$image" 'SOFTWARE\Apps'

echo "== what the service pack wrote: its driver in \\Windows, its registry values"
ls "$image/fs/Windows"
"$bin/termsim" reg export "$image" 'SOFTWARE\KORVA\Drivers'

echo "== termsim rehearse: the demo folder on the four kinds of terminal"
folder=build/demo-folder
rm -rf "$folder" build/demo-rehearsal
cp -a "$sp" "$folder"
"$bin/termsim" rehearse "$folder" --out build/demo-rehearsal || true
echo "== the page: build/demo-rehearsal/report.html"
