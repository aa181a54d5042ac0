#!/usr/bin/env bash
# Writes a small WD1 and WD2 sample file and runs each `vesk` command on them: info, head (also
# of standard input), conversions to Parquet and to WD2, and a plot.
#   bash examples/cli_demo.sh [output folder]
# Needs vesk installed with its command-line extra: pip install ".[cli]"
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
folder=${1:-$here/output}
mkdir -p "$folder"
python=${PYTHON:-python3}
# `python -m vesk_arrays` is the installed `vesk` command; this way the interpreter chosen
# above is the one that runs it.
vesk=("$python" -m vesk_arrays)

"$python" -c "
import os, sys
sys.path.insert(0, sys.argv[1])
from sample_files import write_wd1, write_wd2
write_wd1(os.path.join(sys.argv[2], 'sample.wd1'))
write_wd2(os.path.join(sys.argv[2], 'sample.wd2'))
" "$here" "$folder"

run() { printf '\n$ vesk %s\n' "$*"; "${vesk[@]}" "$@"; }
run --version
run info "$folder/sample.wd1" "$folder/sample.wd2"
run info --short "$folder/sample.wd1" "$folder/sample.wd2"
run head "$folder/sample.wd2" -n 5
run head "$folder/sample.wd1" --start 10 -n 3
# - is standard input, whose format --format gives.
printf '\n$ vesk head --format WD1 -n 3 - < %s\n' "$folder/sample.wd1"
"${vesk[@]}" head --format WD1 -n 3 - <"$folder/sample.wd1"
run convert "$folder/sample.wd1" -o "$folder/sample.parquet"
# Events 5 to 9 of the WD2 file, as a WD2 file of their own.
run convert "$folder/sample.wd2" --start 5 --stop 10 -o "$folder/events5-9.wd2"
run info --json "$folder/events5-9.wd2"
run plot "$folder/sample.wd2" --event 3 --time -o "$folder/event3.png"
