#!/bin/sh
# CPU time of an idle open master-MCU channel: fwtool mcu-channel on a pty
# whose far end stays silent, for SECONDS (default 60), as a whole process.
# usage: bench/idle_channel_cpu.sh BUILD_DIR [SECONDS]
set -eu
build=${1:?usage: $0 BUILD_DIR [SECONDS]}
seconds=${2:-60}
exec /usr/bin/python3 - "$build/fwtool" "$seconds" <<'PY'
import os, pty, subprocess, sys, re
fwtool, seconds = sys.argv[1], sys.argv[2]
master, slave = pty.openpty()
name = os.ttyname(slave)
res = subprocess.run(["/usr/bin/time", "-v", fwtool, "mcu-channel", "--port", name, "--for", seconds],
                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
user = float(re.search(r"User time \(seconds\): ([\d.]+)", res.stderr).group(1))
sys_ = float(re.search(r"System time \(seconds\): ([\d.]+)", res.stderr).group(1))
wall = re.search(r"Elapsed \(wall clock\) time.*: ([\d:.]+)", res.stderr).group(1)
print(f"idle channel for {seconds} s: user {user:.2f} s, system {sys_:.2f} s, "
      f"cpu {100.0 * (user + sys_) / float(seconds):.2f} % of one core (wall {wall})")
os.close(master)
os.close(slave)
sys.exit(res.returncode)
PY
