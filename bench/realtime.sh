# Sourced by the benchmarks. On Windows the driver's management thread, the
# only one that harvests the descriptor rings, polls at a real-time priority
# (MgmThreadPriority, 16). Linux gives ordinary threads no such class, and a
# 1 ms sleep of a normal thread here often ends 2 to 5 ms late, longer than
# the 4096 descriptors of a port hold at line rate. As root, the benchmarks
# put that thread in SCHED_FIFO, as a user tuning a capture host would (the
# locks it shares with ordinary threads lend it their priority);
# FL_BENCH_RT=0 leaves it as it is.
realtime_harvest() {  # pid of a program of the system
  [ "${FL_BENCH_RT:-1}" != 0 ] && [ "$(id -u)" -eq 0 ] || return 0
  local task
  for task in /proc/"$1"/task/*; do
    if [ "$(cat "$task/comm" 2>/dev/null)" = Management ]; then chrt -f -p 1 "${task##*/}" >/dev/null; fi
  done
}
