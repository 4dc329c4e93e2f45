#!/usr/bin/env bash
# Capturing a real link, side by side: trafgen sends frames as fast as it
# can for SECONDS (10) into one end of a veth pair; on the other end
# FlDump_ng (through a port wired to the interface), tcpdump -w, netsniff-ng
# and dumpcap capture to a file, one at a time. For each: frames sent,
# frames in the file, loss. Sizes: 64-byte frames, IMIX (7:4:1 of 64, 576
# and 1518 bytes) and 1518-byte frames (sizes with FCS).
#
#   bench/links_capture.sh [SECONDS] [BUILD]     (as root; BUILD: build/)
#
# FL_BENCH_RUNS ("64:top imix:900Mbit ...") and FL_BENCH_TOOLS ("FlDump_ng
# tcpdump") choose a part. For FlDump_ng the machine's log (FL_DEBUGGER)
# tells what the board counted as missed and why; it is kept in the work
# folder with FL_BENCH_KEEP=1.
#
# Everything happens in a network namespace of the script's own: the
# veth pair and the traffic never leave it. Needs trafgen and netsniff-ng
# (netsniff-ng), tcpdump and dumpcap (wireshark-common); installed if
# missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-10}
build=$(cd "${2:-$root/build}" && pwd)

if [ -z "${FL_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root: the benchmark makes a network namespace and raw sockets" >&2; exit 1; }
  missing=()
  for tool in trafgen:netsniff-ng netsniff-ng:netsniff-ng tcpdump:tcpdump dumpcap:wireshark-common capinfos:tshark; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool##*:}")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  [ -x "$build/bin/FlDump_ng" ] || { echo "$build/bin/FlDump_ng not built" >&2; exit 1; }
  exec env FL_BENCH_NETNS=1 unshare -n "$0" "$seconds" "$build"
fi

work=$(mktemp -d /tmp/fl-bench-links.XXXXXX)
[ -n "${FL_BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 || true
ip link add tx0 type veth peer name rx0
ip link set tx0 up
ip link set rx0 up

# trafgen configurations: frames without FCS (the link adds it).
frame() {  # size without FCS
  echo "{ eth(da=02:00:00:00:00:02, sa=02:00:00:00:00:01, type=0x88b6), fill(0x5a, $(($1 - 14))) }"
}
frame 60 > "$work/64.cfg"
frame 1514 > "$work/1518.cfg"
{ for _ in 1 2 3 4 5 6 7; do frame 60; done; for _ in 1 2 3 4; do frame 572; done; frame 1514; } > "$work/imix.cfg"

cat > "$work/machine.toml" <<EOF
[[board]]
  [[board.port]]
  wire = "iface"
  interface = "rx0"
EOF
export FL_MACHINE="$work/machine.toml" FL_REGISTRY="$work/registry.db" FL_DRIVER_DIR="$build/lib"
export XDG_STATE_HOME="$work/state"

# Frames an interface sent, from the namespace's own /proc/net/dev (sysfs
# shows the namespace it was mounted in).
sent_by() { sed 's/:/ /' /proc/net/dev | awk -v dev="$1" '$1 == dev { print $11 }'; }

# Starts a capturer on rx0 writing $1; its pid in $pid.
start() {
  local tool=$1 file=$2
  case "$tool" in
    FlDump_ng)
      FL_DEBUGGER=1 "$build/bin/FlDump_ng" "$file" -p '\\?\FL_bap_02f10e000000' > "$work/fldump-$size-$rate.out" 2>&1 < <(sleep 100000) &
      pid=$!
      for _ in $(seq 100); do grep -q "Press a key" "$work/fldump-$size-$rate.out" 2>/dev/null && break; sleep 0.1; done
      sleep 1  # the port's link comes up
      ;;
    tcpdump) tcpdump -i rx0 -w "$file" -B 65536 -q 2>/dev/null & pid=$! ;;
    netsniff-ng) netsniff-ng --in rx0 --out "$file" --silent >/dev/null 2>&1 & pid=$! ;;
    dumpcap) dumpcap -i rx0 -w "$file" -q -B 64 2>/dev/null & pid=$! ;;
  esac
  sleep 2
}

# Each size at trafgen's top speed, and IMIX also at 900 Mb/s, a load a
# gigabit link (the port's) carries. trafgen's own rate
# limit sends bursts of about 100 ms at several Gb/s with pauses between, a
# stream no gigabit link carries; a paced run therefore sends through a
# token bucket on tx0 instead (bursts of at most 32 KB, less than the
# board's receive FIFO), as the sender's NIC and queue would on a real link.
printf '%-8s %-8s %-12s %12s %12s %12s %8s\n' size rate capture sent frames/s "in file" loss
for run in ${FL_BENCH_RUNS:-64:top imix:top imix:900Mbit 1518:top}; do
  size=${run%%:*} rate=${run##*:}
  limit=()
  tc qdisc del dev tx0 root 2>/dev/null || true
  if [ "$rate" != top ]; then
    tc qdisc add dev tx0 root tbf rate "${rate,,}" burst 32kb latency 100ms
    limit=(--qdisc-path)
  fi
  for tool in ${FL_BENCH_TOOLS:-FlDump_ng tcpdump netsniff-ng dumpcap}; do
    file="$work/$size-$tool.pcap"
    start "$tool" "$file"
    before=$(sent_by tx0)
    timeout -s INT "$seconds" trafgen --dev tx0 --conf "$work/$size.cfg" --cpus 1 "${limit[@]+"${limit[@]}"}" >/dev/null 2>&1 || true
    sent=$(( $(sent_by tx0) - before ))
    sleep 2  # what is in flight reaches the file
    kill -INT "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    captured=$(capinfos -c -M "$file" 2>/dev/null | awk '/Number of packets/ {print $NF}')
    captured=${captured:-0}
    loss=$(awk -v s="$sent" -v c="$captured" 'BEGIN { printf "%.1f %%", s ? 100 * (s - c) / s : 0 }')
    printf '%-8s %-8s %-12s %12d %12d %12d %8s\n' "$size" "$rate" "$tool" "$sent" $((sent / seconds)) "$captured" "$loss"
    rm -f "$file"
  done
done
