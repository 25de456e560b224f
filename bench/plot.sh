#!/usr/bin/env bash
# plot.sh RESULTS PNG -- draws S1's per-request times (every round's median) of the floor, the
# TCP floor, dostrel and the peer from the results file that run.sh leaves with
# DOSTREL_BENCH_RESULTS=RESULTS.
set -euo pipefail
. "$(dirname "$0")/../scripts/packages.sh"
need_packages gnuplot-nox
results=$1
png=$2
data=$(mktemp)
trap 'rm -f "$data"' EXIT
index=0
for who in floor tcpfloor dostrel peer; do
    awk -v who="$who" -v x="$index" '$1 == "S1" && $2 == who {printf "%d %s %.4f\n", x, who, $3 * 1000}' \
        "$results" >>"$data"
    index=$((index + 1))
done
gnuplot <<GNUPLOT
set terminal pngcairo size 800,480 font "sans,11"
set output "$png"
set title "S1: one request, process started directly (median of each round)"
set ylabel "milliseconds per request"
set yrange [0:*]
set xrange [-0.6:3.6]
set xtics ("floor (static C)" 0, "TCP floor" 1, "dostrel" 2, "cgi-fcgi (peer)" 3)
set grid ytics
set key top left
set boxwidth 0.5
set style fill solid 0.35
stats "$data" using 1:3 nooutput
plot "$data" using 1:3 smooth unique with boxes lc rgb "#4477aa" title "mean of the round medians", \
     "$data" using 1:3 with points pt 7 ps 1.2 lc rgb "#cc3311" title "round medians"
GNUPLOT
