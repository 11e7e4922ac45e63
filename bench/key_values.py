"""The benchmark programs print "key value" lines; the suite's scripts read them through here."""
import os
import subprocess


def run_keys(cmd, env=None, preexec_fn=None):
    """Runs a command that prints "key value" lines; returns them as a dict of floats."""
    out = subprocess.run([str(c) for c in cmd], check=True, capture_output=True, text=True,
                         env=dict(os.environ, **(env or {})), preexec_fn=preexec_fn).stdout
    vals = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2:
            try:
                vals[parts[0]] = float(parts[1])
            except ValueError:
                pass
    return vals
