#!/usr/bin/env bash
# Builds the program, makes a demo machine under build/demo-machine (registry naming C:\Vandrel\
# as the server folder, a LOG_EML folder of about 6 MB of sample mail), runs the job there without
# a window, and lists the files it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILBALE_TESTS=OFF -DMAILBALE_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

machine=$PWD/build/demo-machine
rm -rf "$machine"
logs=$machine/drive_c/Vandrel/LOG_EML
mkdir -p "$logs"
cat > "$machine/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Data Access Corporation\Visual DataFlex\7\Workspaces\Vandrel]
"Srvr_Path"="C:\\Vandrel\\"
REG

# Text mails: headers and a body that varies from mail to mail.
for n in $(seq 1 90); do
  i=$(printf %02d "$n")
  {
    printf 'From: sender%s@example.com\r\nTo: office@example.com\r\nSubject: Order %s\r\n' "$i" "$i"
    printf 'Date: Mon, 7 Dec 2026 09:%s:00 +0100\r\nContent-Type: text/plain\r\n\r\n' "$i"
    for line in $(seq 1 900); do printf 'Line %s of order %s: %s units at %s.\r\n' "$line" "$i" $((line * 7 % 97)) $((line * n % 1000)); done
  } > "$logs/mail_$i.eml"
done
# Mails with attachments larger than one volume (random data does not compress).
head -c 2300000 /dev/urandom > "$logs/scan_invoice.eml"
head -c 2200000 /dev/urandom > "$logs/photos_site.eml"
# Accented names, an empty mail and a hidden one.
printf 'Bonjour,\r\nLa facture est jointe.\r\n' > "$logs/Facture é 2026.eml"
printf 'Grüße aus München\r\n' > "$logs/Müller Grüße.eml"
: > "$logs/empty.eml"
printf 'hidden\r\n' > "$logs/.draft.eml"

echo "Running the job on the demo machine ($machine):"
status=0
(cd "$machine" && MAILBALE_MACHINE="$machine" MAILBALE_UI=headless "$OLDPWD/build/release/mailbale") || status=$?
echo "Exit status: $status"
echo "Files written in C:\\Vandrel\\:"
find "$machine/drive_c/Vandrel" -maxdepth 1 -type f -printf '  %f\t%s bytes\n' | sort
exit "$status"
