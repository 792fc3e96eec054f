# The time-to-visible distributions of the contenders as cumulative curves.
# Called by bench/run.sh: gnuplot -e "dir='OUT'; runs='N'; fs='ext4'" bench/time_to_visible.gp
set terminal pngcairo size 900,540 font "DejaVu Sans,11"
set output dir.'/time-to-visible.png'
set title 'Spawn → request visible, one document ('.runs.' runs each, in turn, '.fs.')'
set xlabel 'milliseconds from posix\_spawn to the final name (inotify)'
set ylabel 'fraction of runs'
set yrange [0:1.02]
set xrange [0:*]
set grid
set key bottom right
plot dir.'/visible-opener.txt'  using 1:(1) smooth cnormal with steps lw 2 title 'opener', \
     dir.'/bus-opener.txt'      using 1:(1) smooth cnormal with steps lw 2 dt 2 title 'opener, session bus running', \
     dir.'/visible-limit.txt'   using 1:(1) smooth cnormal with steps lw 2 title 'limit (C, libc only)', \
     dir.'/visible-safecat.txt' using 1:(1) smooth cnormal with steps lw 2 title 'safecat'
