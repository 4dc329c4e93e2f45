#!/usr/bin/env bash
# Both ports of a board at line rate (64 bytes, IMIX, 1518 bytes), captured
# by FlDump_ng on the board aggregating port into a pcap-ng file for a while,
# and where every frame went:
#   offered    frames the wires (generators) offered: 2 x line rate x seconds
#   delivered  frames the application (FlDump_ng) received
#   ignored    arrived while the receiver was off (the capture started late)
#   missed     lost by the controller (receive FIFO full: no descriptors)
#   ring       delivered to host memory but not to the application (slot ring)
#   writer     received by the application but not in the file
#   file       frames in the file (capinfos)
#   bursts     runs of missed frames, and the longest the driver had left
#              the receive tail unmoved when one happened (a late harvest)
#   slip       how far the generators fell behind when the model's clock
#              thread ran late (they delay frames then, never burst them
#              above line rate): the frames took seconds + slip to arrive
# then the CPU time of each named thread of the machine's process.
#
# As root, the driver's harvesting thread runs at a real-time priority
# (bench/realtime.sh; FL_BENCH_RT=0 leaves it as it is).
#
#   bench/linerate.sh [seconds] [sizes...]     (default: 10 s; 64 imix 1518)
#
# Run from the source tree after building (build/bin/FlDump_ng); BUILD=dir
# picks another build folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$root/build}
seconds=${1:-10}
. "$root/bench/realtime.sh"
delay=${DELAY:-5}  # s from boot to the first frame; the capture must be running by then
shift || true
sizes=("$@")
# FL_BENCH_READERS=3: the machine runs in flhost, and besides the capture of
# the board aggregating port two more programs (fl_receive) read each
# physical port, an instance each.
# FL_BENCH_HOST=1: the machine runs in flhost with the one capture.
readers=${FL_BENCH_READERS:-1}
case "$readers" in 1|3) ;; *) echo "FL_BENCH_READERS is 1 or 3" >&2; exit 2 ;; esac
[ ${#sizes[@]} -gt 0 ] || sizes=(64 imix 1518)
command -v capinfos >/dev/null || { echo "capinfos (Debian's tshark) is needed" >&2; exit 2; }

work=$(mktemp -d)
[ -z "${FL_BENCH_KEEP:-}" ] || echo "work: $work" >&2
# However it ends: no capture or host left running, the kernel threads back
# where they were.
finish() {
  local left
  left=$(jobs -p)
  [ -z "$left" ] || kill -KILL $left 2>/dev/null || true
  realtime_restore
  [ -n "${FL_BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap finish EXIT
# The board aggregating port of board 0 (default address 02:f1:0e:00:00:00).
port='\\?\FL_bap_02f10e000000'
physical=('\\?\pci#ven_f10e&dev_0001&subsys_0001f10e&rev_06#3&0f10e001&0&00#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}'
  '\\?\pci#ven_f10e&dev_0001&subsys_0001f10e&rev_06#3&0f10e001&0&01#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}')
tick=$(getconf CLK_TCK)

# tid, name, utime+stime (ticks) of each thread of a process
thread_times() {
  for stat in /proc/"$1"/task/*/stat; do
    sed -E 's/^([0-9]+) \((.*)\) (.*)$/\1\t\2\t\3/' "$stat" 2>/dev/null |
      awk -F'\t' '{ split($3, f, " "); print $1 "\t" $2 "\t" f[12] + f[13] }'
  done
}

# The description: both ports of board 0 fed by generators at the line rate
# of the size mix, for `seconds` of frames each (count), so the frames offered
# are known and none arrives after the capture. The traffic starts `delay` s
# after the link comes up, once the capture runs.
describe() {
  local rate sizes fps=
  case "$1" in
    64) rate=1488095; sizes="[64]" ;;
    1518) rate=81274; sizes="[1518]" ;;
    # 7:4:1. A generator never sends a frame faster than its own wire time,
    # so the mix runs at line rate (327 360 frames/s) with the rate of its
    # smallest frames: the larger ones take longer by themselves.
    imix) rate=1488095 fps=327360; sizes="[64, 64, 64, 64, 64, 64, 64, 594, 594, 594, 594, 1518]" ;;
    *) echo "unknown size $1 (64, imix or 1518)" >&2; exit 2 ;;
  esac
  local count
  count=$(awk -v r="${fps:-$rate}" -v s="$seconds" 'BEGIN { printf "%d", r * s }')
  echo "[[board]]"
  for _ in 0 1; do
    printf '  [[board.port]]\n  wire = "generator"\n  rate = %s\n  sizes = %s\n  count = %s\n  start_delay_ms = %s\n' \
      "$rate" "$sizes" "$count" "$((delay * 1000))"
  done
}

printf '%-6s %12s %12s %8s %10s %10s %10s %12s %8s %7s %9s %8s\n' size offered delivered ignored missed ring writer file lost \
  bursts "tail wait" slip
for size in "${sizes[@]}"; do
  run="$work/$size"
  mkdir -p "$run"
  report="$run/model.txt"
  # Standard input stays open and silent (a key would end the capture): a
  # pipe this script holds open and never writes to.
  mkfifo "$run/keys"
  exec 3<>"$run/keys"
  describe "$size" >"$run/machine.toml"
  export XDG_STATE_HOME="$run/state" FL_MACHINE="$run/machine.toml" FL_MODEL_REPORT="$report"
  machine=""  # the process that runs the machine
  if [ "$readers" -gt 1 ] || [ "${FL_BENCH_HOST:-0}" = 1 ]; then
    mkdir -m 700 "$run/host"
    export FL_HOST="$run/host/host.sock"
    "$build/bin/flhost" >"$run/host.txt" 2>&1 &
    machine=$!
    for _ in $(seq 600); do [ -S "$FL_HOST" ] && break; sleep 0.1; done
  else
    export FL_HOST=embedded
  fi
  (exec "$build/bin/FlDump_ng" "$run/out.pcapng" -p "$port" <"$run/keys" >"$run/out.txt" 2>&1) &
  dump=$!
  # The capture runs once the tool says so.
  for _ in $(seq 600); do
    grep -q "in progress" "$run/out.txt" 2>/dev/null && break
    kill -0 "$dump" 2>/dev/null || break
    sleep 0.1
  done
  # The other readers read each physical port and drop what they read, for
  # as long as the frames take to arrive and a few seconds more.
  receivers=()
  for reader in $(seq 1 $((readers - 1))); do
    "$build/bin/fl_receive" $((delay + seconds + 5)) "${physical[$((reader - 1))]}" >"$run/p$((reader - 1)).txt" 2>&1 &
    receivers+=($!)
  done
  machine=${machine:-$dump}
  realtime_harvest "$machine"
  started=$SECONDS
  # From the first frame until the last has reached the file.
  until [ $((SECONDS - started)) -ge "$delay" ]; do sleep 0.1; done
  thread_times "$machine" >"$run/before.txt"
  from=$(date +%s.%N)
  sleep "$seconds"
  # The last frames reach the file once it stops growing (a late model
  # delays them: the slip).
  last=-1
  for _ in $(seq 120); do
    bytes=$(stat -c %s "$run/out.pcapng" 2>/dev/null || echo 0)
    [ "$bytes" = "$last" ] && break
    last=$bytes
    sleep 1
  done
  thread_times "$machine" >"$run/after.txt"
  to=$(date +%s.%N)
  kill -INT "$dump"
  for pid in "$dump" "${receivers[@]}"; do wait "$pid" || true; done
  if [ "$machine" != "$dump" ]; then
    kill -TERM "$machine"
    wait "$machine" || true
  fi
  exec 3>&-

  # model port B.P: wire_sent S offered O ignored I missed M delivered D queued Q ...
  read -r offered ignored missed delivered bursts wait slip < <(awk '{ for (i = 1; i < NF; i++) v[$i] = $(i + 1);
      o += v["offered"]; g += v["ignored"]; m += v["missed"]; d += v["delivered"] + v["queued"]; b += v["miss_bursts"]
      if (v["longest_tail_wait_us"] > w) w = v["longest_tail_wait_us"]
      if (v["generator_slip_us"] > s) s = v["generator_slip_us"] }
      END { print o, g, m, d, b, w + 0, s + 0 }' "$report")
  received=$(awk '/packets received by the application/ { print $1 }' "$run/out.txt")
  infile=$(capinfos -c -M "$run/out.pcapng" | awk '/Number of packets/ { print $NF }')
  ring=$((delivered - received))
  writer=$((received - infile))
  lost=$((offered - infile))
  printf '%-6s %12d %12d %8d %10d %10d %10d %12d %7.3f%% %7d %6.1f ms %5.1f ms\n' "$size" "$offered" "$received" "$ignored" \
    "$missed" "$ring" "$writer" "$infile" "$(awk -v l="$lost" -v o="$offered" 'BEGIN { print o ? 100 * l / o : 0 }')" \
    "$bursts" "$(awk -v w="$wait" 'BEGIN { print w / 1000 }')" "$(awk -v w="$slip" 'BEGIN { print w / 1000 }')"
  # The readers of the physical ports: what each received against its port's wire.
  for reader in $(seq 1 $((readers - 1))); do
    sent=$(awk -v p="0.$((reader - 1)):" '$3 == p { for (i = 1; i < NF; i++) if ($i == "offered") print $(i + 1) }' "$report")
    got=$(sed -nE 's/.* ([0-9]+) frames delivered.*/\1/p' "$run/p$((reader - 1)).txt")
    printf '  and port %d alone: %12d offered %12d received, %d lost\n' $((reader - 1)) "$sent" "${got:-0}" \
      $((sent - ${got:-0}))
  done
  # CPU of each thread over the capture (by thread id; threads started later count from 0).
  awk -F'\t' 'NR == FNR { b[$1] = $3; next } { print $2 "\t" $3 - b[$1] }' "$run/before.txt" "$run/after.txt" \
    >"$work/threads-$size.txt"
  awk -v f="$from" -v t="$to" 'BEGIN { printf "%.1f\n", t - f }' >"$work/elapsed-$size.txt"
done

echo
echo "CPU time of the machine's threads (FlDump_ng's, or flhost's) over the capture (% of one core):"
for size in "${sizes[@]}"; do
  elapsed=$(cat "$work/elapsed-$size.txt")
  echo "  $size ($elapsed s):"
  sort -t$'\t' -k2,2nr "$work/threads-$size.txt" | awk -F'\t' -v tick="$tick" -v s="$elapsed" '
    $2 > 0 { printf "    %-16s %7.2f s %6.1f %%\n", $1, $2 / tick, 100 * $2 / tick / s; t += $2 }
    END { printf "    %-16s %7.2f s %6.1f %%\n", "all", t / tick, 100 * t / tick / s }'
done
