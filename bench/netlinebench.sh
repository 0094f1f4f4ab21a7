#!/usr/bin/env bash
# Exchange time through ser2net on the loopback against the same simulated
# unit on a local pseudo-terminal, and the pieces ser2net cuts replies into
# with its default character delays, and how long varno_cycle takes to
# its first report line on each kind of network line; with a unit that
# answers at once and one that answers 30 ms late, the reading thread's
# wake-ups (blocking waits and reads) per exchange.
#
#   bash bench/netlinebench.sh [--rounds N]     (default 50 exchanges a line)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j2 --target varno_unitsim varno_cycle netlinebench >/dev/null
source "$root/tests/support/testlib.sh"
printf '[meter]\naddress = 1.2.3\nstatus = 0x00A4\n[late]\naddress = 1.2.4\nstatus = 0x00A4\nfault = delay 30\n' > units.ini
"$root/build/sim/varno_unitsim" --link COM7 units.ini > sim.out 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q listening sim.out && break; sleep 0.1; done
device=$(sed -n 's/.* listening on \(\/dev\/[^ ]*\) .*/\1/p' sim.out)
base=$((20000 + RANDOM % 30000))
cat > ser2net.yaml <<YAML
%YAML 1.1
---
connection: &rawfast
  accepter: tcp,127.0.0.1,$base
  connector: serialdev,$device,9600n81,local
  options:
    chardelay: false
connection: &telnetfast
  accepter: telnet(rfc2217),tcp,127.0.0.1,$((base + 1))
  connector: serialdev,$device,9600n81,local
  options:
    chardelay: false
connection: &rawdefault
  accepter: tcp,127.0.0.1,$((base + 2))
  connector: serialdev,$device,9600n81,local
connection: &telnetdefault
  accepter: telnet(rfc2217),tcp,127.0.0.1,$((base + 3))
  connector: serialdev,$device,9600n81,local
YAML
ser2net -n -c ser2net.yaml > ser2net.log 2>&1 &
pids+=($!)
sleep 1
echo "simulated unit at 9600 baud on $device; ser2net on 127.0.0.1:$base-$((base + 3))"
"$root/build/bench/netlinebench" "$@" --pieces "127.0.0.1:$((base + 2))" \
  --cycle "$root/build/app/varno_cycle" \
  --first "tcp://127.0.0.1:$base" --first "rfc2217://127.0.0.1:$((base + 1))" \
  COM7 "tcp://127.0.0.1:$base" "rfc2217://127.0.0.1:$((base + 1))" \
  "tcp://127.0.0.1:$((base + 2))" "rfc2217://127.0.0.1:$((base + 3))"
