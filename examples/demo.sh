#!/usr/bin/env bash
# The typical run: Setup on a Japanese LM310 terminal, started from \FlashDisk\SP
# with a service pack, a patch and a tool, then a rehearsal of that folder on the four
# kinds of terminal. Installs and builds only what it runs (the tests build the rest).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh demo
# The tests' preset, without their -Werror: the demo builds with whatever compiler is here.
cmake --preset default -DKORVA_WERROR=OFF >/dev/null
cmake --build --preset default --target termsim Setup wceload windowowner cecab

bin=build/bin
image=build/demo-terminal
rm -rf "$image"

echo "== a Japanese LM310 terminal"
"$bin/termsim" create "$image" --model LM310 --language ja

# The service-pack folder on the flash disk: Setup itself and three CE cabinets made by
# cecab from examples/payload, each with its setup file (the .000 member: where its
# files go, its registry values, its shortcuts).
sp="$image/fs/FlashDisk/SP"
payload=examples/payload
mkdir -p "$sp"
cp "$bin/Setup.exe" "$sp/Setup.exe"
"$bin/cecab" "$sp/ServicePackHQ40.CAB" --provider KORVA --app "Service Pack HQ40" --processor ARM \
  --ce-version 4.00-4.99 \
  --file "$payload/ServicePackHQ40/qdvdrv.dll" '%CE2%\qdvdrv.dll' \
  --file "$payload/ServicePackHQ40/README.TXT" '%InstallDir%\README.TXT' \
  --reg 'HKLM\SOFTWARE\KORVA\Drivers\QDV' Dll REG_SZ qdvdrv.dll \
  --reg 'HKLM\SOFTWARE\KORVA\Drivers\QDV' Version REG_DWORD 40
"$bin/cecab" "$sp/Patch01.cab" --provider KORVA --app Patch01 --processor ARM --ce-version 4.00-4.99 \
  --file "$payload/Patch01/patch01.txt" '%CE2%\patch01.txt' \
  --reg 'HKLM\SOFTWARE\KORVA\Patches' Patch01 REG_DWORD 1
"$bin/cecab" "$sp/Tool.cab" --provider KORVA --app Tool \
  --file "$payload/Tool/tool.txt" '%InstallDir%\tool.txt' \
  --shortcut '%CE11%\Tool' '%InstallDir%\tool.txt'
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
