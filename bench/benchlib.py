"""Pieces shared by bench/batch and bench/compare: finding the programs,
installing the optional tools, making the source pictures, running
`corvane --batch` and noting the machine."""

import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
EDGE = 512

# Settings every timed run pins, so that the user's own choices do not move
# the figures: full-size import (the sources are 512), no texture-tool pass,
# the usual lightening.
PINNED_SETTINGS = ["MaxImport=512", "UseImageTool=0", "Lightening=-4", "24bit=1"]


def say(text=""):
    print(text, flush=True)


def die(text):
    print(f"{Path(sys.argv[0]).name}: {text}", file=sys.stderr, flush=True)
    sys.exit(1)


def is_program(path):
    """A real executable, not a shell stand-in that forwards to something else."""
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF" and os.access(path, os.X_OK)
    except OSError:
        return False


def find_convert():
    """ImageMagick's convert, called directly so a wrapper's start-up is not timed."""
    wanted = os.environ.get("IM_CONVERT")
    if wanted:
        return wanted
    for candidate in ("/usr/bin/convert-im6.q16", "/usr/bin/convert", "/usr/bin/magick"):
        if is_program(candidate):
            return candidate
    found = shutil.which("convert")
    return found if found and is_program(found) else None


def ensure_packages(packages, needed_for):
    """Installs the Debian packages whose commands are missing."""
    missing = [pkg for pkg, command in packages if not command()]
    if not missing:
        return
    say(f"Installing {' '.join(missing)} for {needed_for} ...")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                       check=True, env=env, stdout=subprocess.DEVNULL)
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        die(f"cannot install {' '.join(missing)}: {e}")


def corvane_bin():
    path = Path(os.environ.get("CORVANE_BIN", REPO / "build" / "bin" / "corvane"))
    if not path.is_file() or not os.access(path, os.X_OK):
        die(f"no corvane program at {path}: run scripts/test first, or set CORVANE_BIN")
    return path.resolve()


def helper(name, corvane):
    """A measuring helper of bench/, found beside the program (built with it)
    or in CORVANE_BENCH_TOOLS; built on demand when its build folder is there."""
    folder = Path(os.environ.get("CORVANE_BENCH_TOOLS", corvane.parent))
    path = folder / name
    if not path.is_file():
        build = folder.parent
        if (build / "CMakeCache.txt").is_file():
            say(f"Building {name} in {build} ...")
            subprocess.run(["cmake", "-S", str(REPO), "-B", str(build)], check=False,
                           stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", str(build), "--target", name], check=False,
                           stdout=subprocess.DEVNULL)
    if not path.is_file():
        die(f"no {name} in {folder}: build the bench targets, or set CORVANE_BENCH_TOOLS")
    return path


def machine_note():
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"nproc {os.cpu_count()}, CPU {cpu}, load average {load()}"


def load():
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def make_sources(folder, count, convert):
    """`count` photo-like 512x512 24-bit BMP files, the same on every run:
    fractal plasma from a fixed seed per file, softened a little, with a hard
    dark disc and a bright bar so there are edges and extremes as well."""
    folder.mkdir(parents=True, exist_ok=True)
    names = []
    for i in range(count):
        name = f"photo{i:02d}.bmp"
        out = folder / name
        cx, cy = 60 + (i * 97) % 392, 60 + (i * 53) % 392
        bx, by = (i * 71) % 380, (i * 31) % 440
        subprocess.run(
            [convert, "-seed", str(1000 + i), "-size", f"{EDGE}x{EDGE}", "plasma:fractal",
             "-blur", "0x1",
             "-fill", "#141008", "-draw", f"circle {cx},{cy} {cx + 45},{cy}",
             "-fill", "#f4ecd0", "-draw", f"rectangle {bx},{by} {bx + 130},{by + 40}",
             "-alpha", "off", "-type", "TrueColor", f"BMP3:{out}"],
            check=True)
        names.append(name)
    return names


def make_sources_8bit(source_folder, names, folder, quantize_psnr):
    """8-bit copies of the sources, reduced to 256 colours by the library."""
    folder.mkdir(parents=True, exist_ok=True)
    for name in names:
        subprocess.run([str(quantize_psnr), str(source_folder / name), "--out", str(folder / name)],
                       check=True, stdout=subprocess.DEVNULL)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command):
    """Runs a command; returns (wall seconds, processor seconds of it and its
    children), and what it printed."""
    # What it prints goes to files, read afterwards: a pipe would wake this
    # script at every line and take processor time from the run it times.
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        cpu = children_cpu()
        start = time.perf_counter()
        returncode = subprocess.run(command, stdout=out, stderr=err).returncode
        wall = time.perf_counter() - start
        used = children_cpu() - cpu
        out.seek(0)
        err.seek(0)
        done = subprocess.CompletedProcess(command, returncode, out.read(), err.read())
    return wall, used, done


def warm(folder):
    """Reads every file of a folder, so that a timed run finds them in memory
    however long ago they were last read (some kernels page out cold files
    within a minute)."""
    for path in sorted(Path(folder).iterdir()):
        if path.is_file():
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass


# Each processor, alone, counts to this; about 30 ms at full speed.
_PROBE = "import time\nt = time.perf_counter()\nn = 0\nfor i in range(600000):\n    n += i\nprint(time.perf_counter() - t)"


def cpu_speeds():
    """How long each processor the benchmark may use takes for the same small
    loop, all at once, one process pinned to each: {cpu: seconds}.  On a
    virtual machine a processor may run far below the others for seconds at a
    time, which moves every timing taken meanwhile."""
    cpus = sorted(os.sched_getaffinity(0))
    probes = {}
    for cpu in cpus:
        probes[cpu] = subprocess.Popen([sys.executable, "-c", _PROBE], stdout=subprocess.PIPE, text=True,
                                       preexec_fn=lambda c=cpu: os.sched_setaffinity(0, {c}))
    return {cpu: float(p.communicate()[0]) for cpu, p in probes.items()}


# Processors count as even when the slowest runs at this share of the fastest's speed or more.
EVEN = 0.9


def evenness(probe):
    """The slowest processor's speed against the fastest's, 0..1, in one probe."""
    return min(probe.values()) / max(probe.values())


def settled_speeds(limit):
    """Probes the processors until they count as even (EVEN), or for at most
    `limit` seconds; returns (the last probe, seconds waited).
    A parallel speed-up timed while one processor runs at half the other's
    speed says more about the host than about the program."""
    probe = cpu_speeds()
    start = time.monotonic()
    waited = 0.0
    while evenness(probe) < EVEN and waited < limit:
        time.sleep(0.5)
        probe = cpu_speeds()
        waited = time.monotonic() - start
    return probe, waited


def run_batch(corvane, source, destination, jobs, smooth, expected):
    """One `corvane --batch` run into an empty destination; returns
    (wall seconds, processor seconds)."""
    shutil.rmtree(destination, ignore_errors=True)
    destination.mkdir(parents=True)
    command = [str(corvane)]
    for setting in PINNED_SETTINGS + [f"Smooth8bit={1 if smooth else 0}"]:
        command += ["--set", setting]
    command += ["--batch", str(source), str(destination), "--jobs", str(jobs)]
    wall, cpu, done = timed(command)
    if done.returncode != 0:
        die(f"corvane --batch failed ({done.returncode}):\n{done.stdout[-2000:]}{done.stderr[-2000:]}")
    written = len(list(destination.glob("*.bmp")))
    if written != expected:
        die(f"corvane --batch wrote {written} of {expected} files")
    return wall, cpu


def median(values):
    return statistics.median(values)


def spread(values):
    return f"{min(values):.3f}..{max(values):.3f}" if len(values) > 1 else f"{values[0]:.3f}"
