#!/usr/bin/env bash
# gorva-mpi on 1, 2 and 3 ranks writes the single-process program's report,
# console output and all-results file, byte for byte (apart from the command
# line and the whole-second timings).
set -euo pipefail
build_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mpi_run() {
  timeout 300 mpirun --allow-run-as-root --oversubscribe -np "$1" "$build_dir/gorva-mpi" "${@:2}"
}
mask() { sed -E -e 's/^Command : .*//' -e 's/[0-9]+\.[0-9]+ sec(ond)?$/<TIME>/' "$1"; }

# A: three orders, the last with three batches of 100000; ties from a
# duplicated marker. B: two batches of pairs, every key NaN (every control's
# genotypes missing, so each pair counts cases only).
"$build_dir/gorva-simulate" --out a0.txt --markers 119 --samples 300 --seed 3 --missing-rate 0.02 >/dev/null
paste a0.txt <(cut -f 6 a0.txt | sed '1s/.*/DUP5/') > a.txt
"$build_dir/gorva-simulate" --out b0.txt --markers 450 --samples 24 --seed 5 >/dev/null
awk 'BEGIN { FS = OFS = "\t" } NR > 1 && $1 != 1 { for (i = 2; i <= NF; ++i) $i = 3 } { print }' b0.txt > b.txt
# C: PLINK files, whose planes are filled straight from the .bed and sent to the ranks.
"$build_dir/gorva-simulate" --out c.txt --bfile-out c --markers 60 --samples 200 --seed 7 --missing-rate 0.03 >/dev/null

check() {
  local name=$1; shift
  mkdir -p "single-$name"
  (cd "single-$name" && "$build_dir/gorva" "$@" --threads 2 > out.txt)
  for ranks in 1 2 3; do
    mkdir -p "mpi-$name-$ranks"
    (cd "mpi-$name-$ranks" && mpi_run "$ranks" "$@" --threads 1 > out.txt)
    for file in out.txt report.txt report.txt.all t.tsv; do
      [ -e "single-$name/$file" ] || continue
      if ! cmp -s <(mask "single-$name/$file") <(mask "mpi-$name-$ranks/$file"); then
        echo "$name, $ranks ranks: $file differs"
        diff <(mask "single-$name/$file") <(mask "mpi-$name-$ranks/$file") | head -20
        exit 1
      fi
    done
    echo "$name, $ranks ranks: same report"
  done
}

check ties --in ../a.txt --out report.txt --order 1-3 --top 12
check nan --in ../b.txt --out report.txt --order 2 --top 5 --save_all 1
check planes --bfile ../c --out report.txt --order 1-2 --top 8 --missing complete --save_all 1
check plain --in ../a.txt --out report.txt --order 2-3 --engine plain --missing mc
check synergy --in ../a.txt --out report.txt --order 2-3 --top 6 --rank synergy --table t.tsv
check em --in ../a.txt --out report.txt --order 1-3 --top 8 --missing em --save_all 1
# Three strata of unequal sizes (text samples are named by their line).
seq 300 | awk '{ print "x", $1, ($1 * $1 + int($1 / 7)) % 3 }' > a.strata
check strata --in ../a.txt --out report.txt --order 1-2 --top 8 --strata ../a.strata --table t.tsv --save_all 1
check strata-rig --in ../a.txt --out report.txt --order 2 --top 5 --strata ../a.strata --rank rig --missing complete
# Ranked by p, NaN keys (strata of one class) go last on every rank.
check strata-p --in ../a.txt --out report.txt --order 1-2 --top 8 --strata ../a.strata --rank p --table t.tsv

# Rank 0 cannot open the data file: the run ends cleanly on every rank.
mkdir -p missing && cd missing
output=$(mpi_run 3 --in absent.txt --out report.txt)
grep -q '^Cannot open the text file!!$' <<<"$output"
[ ! -e report.txt ] || { echo "a report was created"; exit 1; }
# A refused input stops every rank with the refusal's status.
printf 'Class\tA\n1\t7\n' > bad.txt
status=0
mpi_run 2 --in bad.txt --out report.txt > /dev/null 2> err.txt || status=$?
[ "$status" -eq 2 ] || { echo "refused input: exit status $status, expected 2"; cat err.txt; exit 1; }
grep -q 'genotype code 7' err.txt
status=0
mpi_run 2 --in ../a.txt --out report.txt --table t.tsv --max-p 0.01 > /dev/null 2> err.txt || status=$?
[ "$status" -eq 2 ] && [ ! -e t.tsv ] || { echo "--max-p: exit status $status, expected 2"; exit 1; }
grep -q -- '--max-p' err.txt
echo "failures end the run cleanly"
