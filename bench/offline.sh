#!/usr/bin/env bash
# Recorded traffic, merged and rewritten, side by side with the tools a user
# would pick instead:
#   - four ports wired to the four port files of a capture of FRAMES 64-byte
#     frames (pace "line"), merged by FlDump_ng on the aggregating port over
#     both boards into pcap-ng, against mergecap -F pcapng of the same files;
#   - one port replaying the whole capture into pcap with FlDump, against
#     tcpdump -r in.pcap -w out.pcap.
# For each: frames in, frames in the file, seconds, frames per second. A
# port replays at its link's speed (1 488 095 frames/s of 64 bytes), so the
# system's figure is bounded by the wires: four ports 5.95 million frames/s,
# one port 1.49 million; its seconds run from the first frame's stamp to
# the last's. As root the driver's harvest runs at a real-time priority
# (bench/realtime.sh).
#
#   bench/offline.sh [FRAMES]      (default 5000000; needs mergecap, tcpdump, capinfos)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$root/build}
frames=${1:-5000000}
. "$root/bench/realtime.sh"
for tool in mergecap tcpdump capinfos python3; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'realtime_restore; rm -rf "$work"' EXIT

# The capture: frames 1 ns apart in stamp order, dealt round-robin to four
# port files, and the whole in one file.
python3 - "$work" "$frames" <<'PY'
import struct, sys
work, total = sys.argv[1], int(sys.argv[2])
header = struct.pack('<IHHiIII', 0xa1b23c4d, 2, 4, 0, 0, 65535, 1)  # nanosecond pcap, Ethernet
frame = bytes.fromhex('020000000002' '020000000001' '88b6') + bytes(46)
files = [open(f'{work}/port{p}.pcap', 'wb') for p in range(4)]
whole = open(f'{work}/all.pcap', 'wb')
for f in files + [whole]:
    f.write(header)
base = 1_700_000_000
chunks = [[] for _ in range(4)]
every = []
for i in range(total):
    record = struct.pack('<IIII', base + i // 1_000_000_000, i % 1_000_000_000, 60, 60) + frame
    chunks[i % 4].append(record)
    every.append(record)
    if len(every) == 100_000:
        for p in range(4):
            files[p].write(b''.join(chunks[p])); chunks[p].clear()
        whole.write(b''.join(every)); every.clear()
for p in range(4):
    files[p].write(b''.join(chunks[p]))
whole.write(b''.join(every))
PY

count() { capinfos -c -M "$1" | awk '/Number of packets/ { print $NF }'; }
span() { capinfos -u -S "$1" | awk '/Capture duration/ { print $(NF - 1) }'; }

# Runs a dump tool on a machine whose ports replay files; it stops once the
# file has stopped growing.
replay() {  # tool port description out
  local tool=$1 port=$2 description=$3 out=$4
  local keys=$work/keys-$tool
  mkfifo "$keys"
  exec 3<>"$keys"
  (
    export XDG_STATE_HOME="$work/state-$tool" FL_MACHINE="$description"
    exec "$build/bin/$tool" "$out" -p "$port" <"$keys" >"$work/$tool.txt" 2>&1
  ) &
  local pid=$! last=-1 size
  sleep 2
  realtime_harvest "$pid"
  sleep 2
  while size=$(stat -c %s "$out" 2>/dev/null || echo 0); [ "$size" != "$last" ]; do
    last=$size
    sleep 2
  done
  kill -INT "$pid"
  wait "$pid" || true
  exec 3>&-
}

{
  echo 'autonegotiation_delay_ms = 3000'
  for board in 0 1; do
    echo '[[board]]'
    for port in 0 1; do
      printf '  [[board.port]]\n  wire = "pcap"\n  file = "port%d.pcap"\n  pace = "line"\n' $((board * 2 + port))
    done
  done
} >"$work/four.toml"
printf 'autonegotiation_delay_ms = 3000\n[[board]]\n  [[board.port]]\n  wire = "pcap"\n  file = "all.pcap"\n  pace = "line"\n' >"$work/one.toml"

printf '%-34s %10s %10s %9s %12s\n' run "frames in" "in file" seconds frames/s
row() {  # name in file seconds
  printf '%-34s %10d %10d %9.3f %12.0f\n' "$1" "$2" "$3" "$4" "$(awk -v n="$3" -v s="$4" 'BEGIN { print (s > 0 ? n / s : 0) }')"
}

start=$(date +%s.%N)
mergecap -F pcapng -w "$work/mergecap.pcapng" "$work"/port{0,1,2,3}.pcap
end=$(date +%s.%N)
row "mergecap -F pcapng (4 files)" "$frames" "$(count "$work/mergecap.pcapng")" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
rm -f "$work/mergecap.pcapng"

replay FlDump_ng '\\?\FL_flan' "$work/four.toml" "$work/fl.pcapng"
row "FlDump_ng (4 ports, FL_flan)" "$frames" "$(count "$work/fl.pcapng")" "$(span "$work/fl.pcapng")"
rm -f "$work/fl.pcapng"

start=$(date +%s.%N)
tcpdump -r "$work/all.pcap" -w "$work/tcpdump.pcap" 2>/dev/null
end=$(date +%s.%N)
row "tcpdump -r -w (1 file)" "$frames" "$(count "$work/tcpdump.pcap")" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
rm -f "$work/tcpdump.pcap"

replay FlDump '\\?\pci#ven_f10e&dev_0001&subsys_0001f10e&rev_06#3&0f10e001&0&00#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}' \
  "$work/one.toml" "$work/fl.pcap"
row "FlDump (1 port)" "$frames" "$(count "$work/fl.pcap")" "$(span "$work/fl.pcap")"
