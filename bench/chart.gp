# The chart of docs/benchmarks.svg, from the data files benchmarks.py writes.
# Usage: gnuplot -e "data='DIR'; out='FILE.svg'; size=MIB" bench/chart.gp
set terminal svg size 1100,440 dynamic font "sans,11" background "white"
set output out
set multiplot layout 1,2

set title "One line in process: median ns per call (bars: min–max)"
set xlabel "bytes in the line (n)"
set ylabel "ns per line"
set key top left
set grid ytics
set xrange [0:58]
set yrange [0:*]
plot data."/micro.dat" using 1:2:3:4 with yerrorlines lw 2 pt 7 ps 0.5 title "EncodeChunk", \
     data."/micro.dat" using 1:5:6:7 with yerrorlines lw 2 pt 5 ps 0.5 title "EVP\\_EncodeBlock"

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
plot data."/whole.dat" using 2:3:4:xtic(1) title "host build", \
     ''              using 5:6:7 title "null filter", \
     ''              using 8:9:10 title "base64 -w 76", \
     ''              using 11:12:13 title "openssl base64", \
     ''              using 14:15:16 title "Windows image, Wine"

unset multiplot
