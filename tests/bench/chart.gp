# The chart of notes/benchmarks.svg, from the data files benchmarks.py writes.
# Usage: gnuplot -e "data='DIR'; out='FILE.svg'; size=MIB; held='NOTE'" tests/bench/chart.gp
# Each data file starts with a row of column names: micro.dat's are read by
# name, and whole.dat's and latency.dat's name the key's entries themselves,
# so neither the order nor the number of programs is fixed here.
set terminal svg size 1100,840 dynamic font "sans,11" background "white"
set output out
# Two panels side by side above, the latency panel the whole width below.
set multiplot
set size 0.5, 0.52
set origin 0, 0.48

set title "One line in process: median ns per call (bars: min–max)"
set xlabel "bytes in the line (n)"
set ylabel "ns per line"
set key top left
set grid ytics
set xrange [0:58]
set yrange [0:*]
plot data."/micro.dat" using "n":"ours_med":"ours_min":"ours_max" with yerrorlines lw 2 pt 7 ps 0.5 \
       title "EncodeChunk", \
     '' using "n":"evp_med":"evp_min":"evp_max" with yerrorlines lw 2 pt 5 ps 0.5 title "EVP\\_EncodeBlock"

set origin 0.5, 0.48
set title sprintf("Whole process, %d MiB: median seconds (bars: min–max)", size)
set xlabel "standard input → standard output"
set ylabel "seconds"
set xrange [*:*]
set yrange [0:*]
# Head room above the bars for the key.
set offsets 0, 0, graph 0.5, 0
set key inside top right font ",9"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.7 border -1
set boxwidth 0.9
# Three columns a program: median (named for the program), min, max.
plot for [i=2:*:3] data."/whole.dat" using i:i+1:i+2:xtic(1) title columnhead(i)

set size 1, 0.48
set origin 0, 0
set title "Latency: from the write of a piece into an open pipe to the arrival of its complete encoding"
set xlabel "bytes in a piece (pieces written one at a time, with pauses)"
set ylabel "µs (log scale)"
set style data linespoints
set offsets 0.2, 0.2, 0, 0
set logscale y
set yrange [*:*]
set key outside right top vertical font ",9"
if (strlen(held) > 0) {
  set label 1 "Held data (waited for input), piece bytes:\n".held at screen 0.725, screen 0.13 font ",9"
}
# Two columns a program: p50 (solid), p99 (dashed), each named for the key.
plot for [i=2:*:2] data."/latency.dat" using 0:i:xtic(1) lw 2 pt 7 ps 0.6 lc (i / 2) title columnhead(i), \
     for [i=3:*:2] '' using 0:i lw 1 dt 2 pt 6 ps 0.6 lc ((i - 1) / 2) title columnhead(i), \
     1000 with lines lw 1 dt 3 lc "black" title "1 ms"

unset multiplot
