# The subjects side by side, for scripts/bench: adds and removes per second
# (median of the runs, bars from the least to the most), and how the
# latencies are distributed. Reads, in `data`, stats.tsv (row, subject,
# median, least, most: the rows that begin "adds/s" and "removes/s", each
# listing the same subjects in the same order) and latency-SUBJECT-TO.dat
# (a latency in µs a line, every run's).
set terminal svg size 1200,500 dynamic font "sans,12" background "white"
set datafile separator "\t"
rates(what) = "< grep '^".what."/s' ".data."/stats.tsv | grep -v 'daemon / '"
subject(row, name) = strstrt(row, "client") ? "to the client" : name
latencies = system("ls ".data."/latency-*.dat 2>/dev/null")
set multiplot layout 1,2

set title "Nodes per second, 1,000 unpaced events, the fastest of 3 bursts in a run (bars: min–max over the runs)"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.5 border -1
set ylabel "events/s"
set yrange [0:*]
set xtics scale 0 font ",10"
plot rates("adds") using 3:4:5:xtic(subject(strcol(1), strcol(2))) title "adds", \
     rates("removes") using 3:4:5 title "removes"

set title "Latency at 5,000 events/s, every run"
set style data lines
set logscale x
set xlabel "µs from sending"
set ylabel "fraction of the events"
set yrange [0:1]
set key bottom right
set grid
if (words(latencies) > 0) {
  plot for [file in latencies] file using 1:(1) smooth cnormal lw 2 \
       title file[strstrt(file, "latency-") + 8:strlen(file) - 4]
}
unset multiplot
