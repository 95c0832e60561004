#!/usr/bin/env bash
# Runs fat16-driver's whole sequence in a scratch folder on a fresh image
# and a generated 200,000-byte "readed.rar", feeding newlines to its pauses.
# Its full output goes to driver-output.txt in that folder; the start and
# the end are shown here. Usage: run-demo.sh DRIVER FOLDER
set -euo pipefail
driver=$(realpath "$1")
folder=$2
rm -rf "$folder"
mkdir -p "$folder"
cd "$folder"
# A reproducible sample: 200,000 bytes of a simple byte pattern.
awk 'BEGIN { for (i = 0; i < 200000; i++) printf "%c", 32 + (i * 7 + int(i / 95)) % 95 }' >readed.rar
status=0
printf '\n\n\n\n' | "$driver" >driver-output.txt || status=$?
head -c 700 driver-output.txt
printf '\n[...]\n'
tail -c 400 driver-output.txt
echo
echo
echo "exit status $status; full output in $(pwd)/driver-output.txt"
echo "image: $(pwd)/fat16.img"
echo "exported tree: $(pwd) ($(find OK -type f 2>/dev/null | wc -l) files in OK, 26 nested folders in A, CREATE_FOLDER_TEST)"
exit "$status"
