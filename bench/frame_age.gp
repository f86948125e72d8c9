# Frame age over time, one line per consumer. Called by scripts/bench.sh with
#   gnuplot -e "datafile='...'; outfile='...'; subtitle='...'; blocks=N" bench/frame_age.gp
# The data file holds N blocks, one per consumer, its name on the block's first line; the
# first two are the reader and the hand-written pipeline.
set terminal pngcairo size 1100,900 font "DejaVu Sans,11"
set output outfile
set multiplot layout 2,1 title "Age of the frame handed to a consumer reading every 200 ms\n{/*0.8 ".subtitle."}"
set grid xtics ytics mytics
set xrange [0:*]
set xlabel "time since the consumers started (s)"

# Everything, on a log scale: a growing backlog dwarfs the rest.
set ylabel "frame age (ms, log scale)"
set logscale y
set yrange [10:100000]
set key top left box opaque
plot for [i=0:blocks-1] datafile index i using 1:2 title columnheader(1) \
     with linespoints lw 2 pt (i+5) ps 0.6 dt i+1

# The reader and the hand-written pipeline alone, on a linear scale, with the 100 ms bound.
unset logscale y
set yrange [0:120]
set ylabel "frame age (ms)"
set key top right box opaque
plot for [i=0:1] datafile index i using 1:2 title columnheader(1) \
     with linespoints lw 2 pt (i+5) ps 0.6 dt i+1, \
     100 with lines lc rgb "red" dt 3 title "100 ms"
unset multiplot
