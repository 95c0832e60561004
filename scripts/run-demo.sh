#!/usr/bin/env bash
# Runs fat16-driver in a scratch folder on a fresh image, feeding newlines
# to its pauses. Usage: run-demo.sh DRIVER FOLDER
set -euo pipefail
driver=$(realpath "$1")
folder=$2
rm -rf "$folder"
mkdir -p "$folder"
cd "$folder"
printf '\n\n\n\n' | "$driver"
echo
echo "image and exported tree: $(pwd)"
