# The subjects side by side, for scripts/bench: adds and removes per second
# (median of the runs, bars from the least to the most), and how the
# latencies are distributed. Reads rates.dat and latency.dat in `data`.
set terminal svg size 1200,500 dynamic font "sans,12" background "white"
latency = data.'/latency.dat'
curves = 0
if (system("test -s ".latency." && echo 1") eq "1") {
  stats latency using 0 nooutput
  curves = STATS_blocks
}
set multiplot layout 1,2

set title "Nodes per second, 1,000 unpaced events, the fastest of 3 bursts in a run (bars: min–max over the runs)"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.5 border -1
set ylabel "events/s"
set yrange [0:*]
set xtics scale 0 font ",10"
plot data.'/rates.dat' using 2:3:4:xtic(1) title "adds", '' using 5:6:7 title "removes"

set title "Latency at 5,000 events/s, every run"
set style data lines
set logscale x
set xlabel "µs from sending"
set ylabel "fraction of the events"
set yrange [0:1]
set key bottom right
set grid
if (curves > 0) {
  plot for [i=0:curves-1] latency index i using 1:2 lw 2 title columnheader(1)
}
unset multiplot
