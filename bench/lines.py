"""The lines the bench runs on: the rig's pty pair, and linesim at each rate,
with or without USB adapters; and linesim's model of a byte's journey, which
the ceilings are taken from."""

from peers import rigmod

# key: (title, baud, adapter latency in ms).  Baud 0 is the unthrottled pty
# pair; a new line is one more entry here.
LINES = {
    "pty": ("pty", 0, 0),
    "921600": ("linesim 921600", 921600, 0),
    "921600-16ms": ("linesim 921600, 16 ms latency", 921600, 16),
    "115200": ("linesim 115200", 115200, 0),
    "115200-16ms": ("linesim 115200, 16 ms latency", 115200, 16),
}


def delivery_ns(n, baud, latency_ms):
    """When the last of N bytes written at once at time 0 reaches the far
    end, as linesim models it: byte k is due when its 10 bits have crossed
    the wire; an adapter with a latency timer passes a batch on once the
    latency has passed since its first byte came, or when it holds 62."""
    def due(k):
        return -(-(k + 1) * 10 * 10**9 // baud)
    if not latency_ms:
        return due(n - 1)
    latency = int(round(latency_ms * 1e6))
    first, released = 0, 0
    while first < n:
        release = due(first) + latency
        if first + 61 < n:
            release = min(release, due(first + 61))
        last = first
        while last + 1 < n and last + 1 < first + 62 and due(last + 1) <= release:
            last += 1
        first, released = last + 1, release
    return released


def block_seconds(packet, baud, latency_ms=0):
    """Stop-and-wait cost of one block: its packet across, its answer back."""
    return (delivery_ns(packet, baud, latency_ms) + delivery_ns(1, baud, latency_ms)) / 1e9


def linesim_cmd(path, baud, latency_ms, stats=None):
    """The rig's line command for linesim at BAUD, with adapters of
    LATENCY_MS, writing its report to STATS."""
    cmd = rigmod.linesim_line(path, baud)
    if latency_ms:
        cmd += " --latency %g" % latency_ms
    if stats:
        cmd += " --stats '%s'" % stats
    return cmd


def read_linesim_stats(path):
    """linesim's key=value report, or {}."""
    values = {}
    try:
        with open(path) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                values[key] = value
    except OSError:
        pass
    return values
