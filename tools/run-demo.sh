#!/usr/bin/env bash
# Fits the shipped example non-interactively: the answers to the four prompts and
# the final Enter key come from a pipe.  Usage: run-demo.sh BUILD_DIR DEMO_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2"
demo=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cp "$root/examples/film.ent" "$root/examples/film.dat" "$demo/"
cd "$demo"
printf 'film.ent\nfilm.dat\n0\n0\n\n' | "$build/driver/tessaline" | tee console.txt
status=${PIPESTATUS[1]}
echo
echo "Exit status: $status"
echo "Console transcript: $demo/console.txt"
echo "Results file:       $demo/VreloBag.dat"
echo "Model curves:       $demo/VreloFunct{UU,DD,UD,DU}.dat"
# The next step of a refinement: the entry file that starts where this fit ended.
if "$build/tools/entry/tessaline-entry" update film.ent VreloBag.dat -o film_next.ent >/dev/null; then
  echo "Next entry file:    $demo/film_next.ent"
fi
if "$build/tools/plot/tessaline-plot" --entry film.ent --profile-table profile.txt >/dev/null; then
  echo "Depth profile:      $demo/profile.txt"
fi
if [ -x "$build/tools/plot/tessaline-plot" ] && command -v gnuplot >/dev/null 2>&1; then
  if "$build/tools/plot/tessaline-plot" film.dat --entry film.ent --out fit.png; then
    echo "Picture:            $demo/fit.png"
  fi
fi
exit "$status"
