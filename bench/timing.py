"""How bench/ measures: each measurement in a process of its own, the sides
taking turns, every figure a median with its min–max, and ratios taken
against a reference measured in the same rounds.

A driver runs a worker with fresh(argv) and gets back a Sample: wall time,
processor time and peak resident memory. Measured from outside, these cover
the whole process (its start-up too). A worker that times only its case
calls measure(fn) and report(sample) instead; fresh() then returns the
worker's own figures. interleave() takes any measurement, so in-process
timings (through the test double, say) take turns the same way.

    results = interleave(["ours", "theirs"], rounds, lambda side: fresh(cmd[side]))
    print(ratio(results, "ours", "theirs"))       # 0.68 (0.67–0.69)
"""
import contextlib
import dataclasses
import gc
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import threading
import time


@dataclasses.dataclass
class Sample:
    seconds: float
    cpu_seconds: float
    peak_kib: int  # peak resident size
    private_kib: int = 0  # peak private (anonymous) resident memory, when sampled from outside
    extra: dict = dataclasses.field(default_factory=dict)  # whatever else a worker reported


@dataclasses.dataclass(frozen=True)
class Spread:
    """A median with its min and max, printed as "0.68 (0.67–0.69)"."""
    median: float
    lo: float
    hi: float

    @classmethod
    def of(cls, values):
        values = list(values)
        return cls(statistics.median(values), min(values), max(values))

    def format(self, fmt=".2f"):
        return f"{self.median:{fmt}} ({self.lo:{fmt}}–{self.hi:{fmt}})"

    __str__ = format

    def scaled(self, factor):
        return Spread(self.median * factor, self.lo * factor, self.hi * factor)


# ---- inside a worker ----

def _status_kib(pid="self", fields=("VmHWM", "RssAnon")):
    """{field: KiB} from /proc/PID/status (one read)."""
    found = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name = line.split(":", 1)[0]
            if name in fields:
                found[name] = int(line.split()[1])
    return found


def _reset_peak():
    """Starts the kernel's peak resident size (VmHWM) afresh, where it allows."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(fn):
    """Runs fn() once in this process: (its result, Sample of that call alone).
    Memory is the peak while fn ran where the kernel lets it be reset, else
    the process's peak so far."""
    gc.collect()
    reset = _reset_peak()
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    peak = _status_kib().get("VmHWM", 0) if reset else after.ru_maxrss
    return result, Sample(seconds, cpu, peak)


def report(sample, **extra):
    """Hands a worker's figures to the fresh() that started it (the last line
    of its output)."""
    fields = dataclasses.asdict(sample)
    fields["extra"] = dict(sample.extra, **extra)
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


# ---- in the driver ----

def _sample_peaks(pid, box, done):
    # A child's ru_maxrss would also count the resident size of the process
    # that forked it, so the peak is read from /proc while the child runs.
    # VmHWM is a high-water mark: only growth in the last interval is missed.
    while not done.is_set():
        try:
            status = _status_kib(pid)
        except OSError:
            return
        box[0] = max(box[0], status.get("VmHWM", 0))
        box[1] = max(box[1], status.get("RssAnon", 0))
        time.sleep(0.005)


def fresh(argv, *, cwd=None, env=None, stdout=None):
    """Runs argv to its end in a process of its own and returns its Sample.
    stdout: a file for its output (else it is read for a worker's report).
    A failing worker stops the benchmark with its output."""
    argv = [str(a) for a in argv]
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, text=True, stderr=subprocess.PIPE,
                            stdout=subprocess.PIPE if stdout is None else stdout)
    box, done = [0, 0], threading.Event()
    sampler = threading.Thread(target=_sample_peaks, args=(proc.pid, box, done), daemon=True)
    sampler.start()
    out, err = proc.communicate()
    seconds = time.perf_counter() - start
    done.set()
    sampler.join()
    if proc.returncode:
        raise SystemExit(f"{' '.join(argv)} failed ({proc.returncode}):\n{out or ''}{err}")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
    reported = _reported(out)
    if reported is not None:
        return reported
    return Sample(seconds, cpu, box[0] or after.ru_maxrss, box[1])


def _reported(out):
    lines = (out or "").strip().splitlines()
    if not lines:
        return None
    try:
        fields = json.loads(lines[-1])
    except ValueError:
        return None
    return Sample(**fields) if isinstance(fields, dict) and "seconds" in fields else None


def python(script, *args):
    """The command that runs a bench script with this interpreter (-P: the
    current folder's modules never shadow the package under test)."""
    return [sys.executable, "-P", script, *args]


def instructions(argv, out):
    """Instructions argv's process ran, counted under valgrind's callgrind
    (its profile left in the file out)."""
    # One hash seed for every run: dictionaries then probe alike, and runs
    # of the same build agree more closely (a seed of its own moved a
    # query by up to a few hundred).
    env = dict(os.environ, PYTHONHASHSEED=os.environ.get("PYTHONHASHSEED", "0"))
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, *map(str, argv)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    with open(out) as f:
        for line in f:
            m = re.match(r"(?:summary|totals): (\d+)", line)
            if m:
                return int(m.group(1))
    raise SystemExit("no totals in " + out)


@contextlib.contextmanager
def pg_server():
    """The dsn of QX_PG_DSN's PostgreSQL server, else of a throw-away cluster
    (tests/pgcluster.py) removed when the block ends."""
    if os.environ.get("QX_PG_DSN"):
        yield os.environ["QX_PG_DSN"]
        return
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
    import pgcluster
    cluster = pgcluster.Cluster().start()
    try:
        yield cluster.dsn()
    finally:
        cluster.remove()


def interleave(sides, rounds, run, warmup=0):
    """{side: [run(side) of each round]}: the sides take turns, in order on
    even rounds and in reverse on odd ones, so load from elsewhere on the
    machine falls on all; the first `warmup` rounds are not recorded."""
    sides = list(sides)
    results = {side: [] for side in sides}
    for k in range(warmup + rounds):
        for side in (sides if k % 2 == 0 else sides[::-1]):
            got = run(side)
            if k >= warmup:
                results[side].append(got)
    return results


def _value(x, key):
    return x if key is None else getattr(x, key)


def spread(results, side, key="seconds"):
    """Median (min–max) of one side's figures across the rounds."""
    return Spread.of(_value(x, key) for x in results[side])


def ratio(results, side, reference, key="seconds"):
    """Median (min–max) of side's figure over the reference's, round by
    round; None when either side was not measured."""
    if side not in results or reference not in results:
        return None
    return Spread.of(_value(a, key) / max(_value(b, key), 1e-9)
                  for a, b in zip(results[side], results[reference]))
