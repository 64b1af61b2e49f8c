#!/usr/bin/env bash
# Long check: a small refinement (FEFF stand-in) is killed with SIGKILL at random moments, then resumed
# from its newest restart file, killed again at random, and so on until it ends. Each round checks that
# the files rewritten whole (spectra, transforms, snapshots) are never cut, that every resume starts, and
# that the finished round's residual, xyz and chi histories and final files are byte for byte those of
# the run that was never stopped. Takes about a minute per 10 rounds.
#
# Usage: bench/kill_and_resume.sh [build folder] [rounds] [random seed]
#   bench/kill_and_resume.sh build 20
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${1:-build}")
rounds=${2:-10}
RANDOM=${3:-$$}
talq="$build/talq"
feff="$build/tools/feff_standin/feff_standin"
[[ -x "$talq" && -x "$feff" ]] || { echo "build $build first (talq and the FEFF stand-in)"; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/talq-kill-XXXXXX")
trap 'rm -rf "$work"' EXIT

inputs="$work/inputs"
mkdir -p "$inputs"
printf 'Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n' \
    > "$inputs/cu.p1"
awk 'BEGIN { for (i = 1; i <= 300; ++i) printf "%.17g %.17g\n", 0.05 * i, 0.3 * sin(0.256 * i) * exp(-0.002 * i * i) }' \
    > "$inputs/exp.dat"
cp "$feff" "$inputs/feff85L.exe"
cat > "$inputs/input.dat" <<'PARAMETERS'
BEGIN
File_with_structure cu.p1
File_with_experimental_EXAFS_signal exp.dat
Columns_in_input 2
Column_for_k 1
Column_for_chi 2
Edge Cu
Supercell 2x2x2
k_min 2
k_max 12
Number_of_states 4
N_legs 2
R_max_for_FEFF 3.0
Stop_after 60
time1 3
time2 4
adjust_step 1
Move_type one
Maximal_displacement 2
Maximal_step_length 0.02
Number_of_threads 2
END
PARAMETERS

compared="output.dat output.xyz histoEXAFS.dat final.xyz final_no_PBC.xyz EXAFS.dat ft.dat bft.dat wt.dat rdf.dat"
whole="EXAFS.dat ft.dat bft.dat wt.dat final.xyz final_no_PBC.xyz rdf.dat"

reference="$work/reference"
cp -r "$inputs" "$reference"
(cd "$reference" && "$talq" input.dat > console.txt) || { echo "the reference run failed"; exit 1; }
echo "reference run: $(grep -c . "$reference/output.dat") history rows"

# Whole: ends with a line end, every line has as many fields as the first, an xyz file as many atom lines as
# it announces, an RDF file ends with its block end.
is_whole() {
    [[ ! -s $1 || $(tail -c 1 "$1" | od -An -c | tr -d ' ') == '\n' ]] || return 1
    case $1 in
        *.xyz) awk 'NR == 1 { n = $1 } END { exit !(NR == n + 2) }' "$1" ;;
        rdf.dat) [[ $(tail -n 1 "$1") == '#################################################' ]] ;;
        *) awk 'NR == 1 { n = NF } NF != n { bad = 1 } END { exit bad }' "$1" ;;
    esac
}

newest_restart() {
    ls | grep -E '^restart[0-9]+$' | sed 's/^restart//' | sort -n | tail -1
}

failed=0
kills=0
for ((round = 1; round <= rounds; ++round)); do
    folder="$work/round$round"
    cp -r "$inputs" "$folder"
    cd "$folder"
    resumes=0
    arguments=(input.dat)
    while :; do
        "$talq" "${arguments[@]}" > "console$resumes.txt" &
        pid=$!
        # Most attempts are killed after 0.1 to 4 s; one in four may run to its end.
        if ((RANDOM % 4 != 0)); then
            sleep "$((RANDOM % 40 / 10)).$((RANDOM % 10))"
            kill -KILL "$pid" 2> /dev/null && ((++kills)) || true
        fi
        code=0
        { wait "$pid"; } 2> /dev/null || code=$?
        if ((code == 0)); then break; fi
        if ((code != 137)); then
            echo "round $round: run ${arguments[*]} ended with code $code"; tail -3 "console$resumes.txt"; failed=1; break
        fi
        for f in $whole; do
            if [[ -e $f ]] && ! is_whole "$f"; then echo "round $round: $f is cut after a kill"; failed=1; fi
        done
        n=$(newest_restart)
        if [[ -z $n ]]; then arguments=(input.dat); else arguments=("restart$n" -restart); fi
        ((++resumes))
    done
    for f in $compared; do
        if ! cmp -s "$f" "$reference/$f"; then echo "round $round: $f differs from the run that was never stopped"; failed=1; fi
    done
    echo "round $round: $resumes resumes"
    cd "$work"
    ((failed)) || rm -rf "$folder"
done
echo "$rounds rounds, $kills kills: $([[ $failed == 0 ]] && echo passed || echo FAILED)"
exit "$failed"
