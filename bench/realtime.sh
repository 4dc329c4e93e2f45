# Sourced by the benchmarks. On Windows the driver's management thread, the
# only one that harvests the descriptor rings, polls at a real-time priority
# (MgmThreadPriority, 16). Linux gives ordinary threads no such class, and a
# 1 ms sleep of a normal thread here often ends 2 to 5 ms late, longer than
# the 4096 descriptors of a port hold at line rate. As root, the benchmarks
# put that thread in SCHED_FIFO, as a user tuning a capture host would (the
# locks it shares with ordinary threads lend it their priority);
# FL_BENCH_RT=0 leaves it as it is.
#
# A real-time priority is not enough on a kernel built without preemption
# ("Dynamic Preempt: none" in dmesg): a kernel thread keeps its processor
# until it yields, and some run for milliseconds (kdamond, the memory
# monitor of a virtual machine, ran up to 6 ms at a time on the harvesting
# processor here). So the kernel threads that may move leave the harvesting
# processor while the benchmark runs, as isolcpus would keep them off it,
# and return at its end (realtime_restore, from the benchmark's EXIT trap).
realtime_moved=()  # "tid mask" of each kernel thread moved

realtime_harvest() {  # pid of a program of the system
  [ "${FL_BENCH_RT:-1}" != 0 ] && [ "$(id -u)" -eq 0 ] || return 0
  local task cpu=
  for task in /proc/"$1"/task/*; do
    if [ "$(cat "$task/comm" 2>/dev/null)" = Management ]; then
      chrt -f -p 1 "${task##*/}" >/dev/null
      cpu=$(awk '/^Cpus_allowed_list/ { print $2 }' "$task/status")
    fi
  done
  # Only a thread pinned to one processor is isolated.
  case "$cpu" in '' | *[!0-9]*) return 0 ;; esac
  [ "${FL_BENCH_ISOLATE:-1}" != 0 ] || return 0
  local pid mask others
  for pid in $(ps -o pid= --ppid 2) ; do
    mask=$(taskset -p "$pid" 2>/dev/null | awk '{ print $NF }') || continue
    [ -n "$mask" ] || continue
    others=$(printf '%x' $((0x$mask & ~(1 << cpu))))
    # Threads bound to one processor (per-CPU ones) stay where they are.
    [ "$others" != 0 ] && [ "$others" != "$mask" ] || continue
    if taskset -p "$others" "$pid" >/dev/null 2>&1; then realtime_moved+=("$pid $mask"); fi
  done
}

realtime_restore() {
  local entry
  for entry in "${realtime_moved[@]}"; do
    taskset -p "${entry#* }" "${entry% *}" >/dev/null 2>&1 || true
  done
  realtime_moved=()
}
