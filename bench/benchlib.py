"""Pieces shared by bench/batch, bench/compare and bench/dds: finding the
programs, installing the optional tools, making the source pictures (made-up,
photographed and painted), running `corvane --batch` and ImageMagick's DXT1
writer, and noting the machine."""

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


# Photographs among the wallpapers (the rest are drawings), and drawn
# wallpapers that look painted.
PHOTOS = ["BytheWater", "ColdRipple", "ColorfulCups", "DarkestHour", "EveningGlow", "FallenLeaf", "Grey", "Kite",
          "OneStandsOut", "Path", "summer_1am"]
PAINTED_WALLPAPERS = ["Autumn", "SafeLanding", "FlyingKonqui"]
WALLPAPERS = Path("/usr/share/wallpapers")


def wallpapers_installed():
    return (WALLPAPERS / PHOTOS[0]).is_dir()


def fonts_installed():
    return Path("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf").is_file()


def wallpaper(name):
    """The largest picture of a wallpaper."""
    images = sorted((WALLPAPERS / name / "contents" / "images").iterdir(), key=lambda p: p.stat().st_size)
    return images[-1]


def written_as(out):
    """ImageMagick's name for an output: a .bmp file as an uncompressed 24-bit
    BMP even when the picture is grey, anything else as PPM."""
    out = Path(out)
    return ["-type", "TrueColor", f"BMP3:{out}"] if out.suffix.lower() == ".bmp" else [f"PPM:{out}"]


def cut_to_512(convert, source, out, short=1024, gravity="center"):
    """A 512 square of a picture brought to `short` on its short side (the
    middle, unless `gravity` says otherwise): at 1024, detail as dense as a
    texture's."""
    subprocess.run([convert, str(source), "-resize", f"{short}x{short}^", "-gravity", gravity,
                    "-crop", "512x512+0+0", "+repage", "-strip", "-alpha", "off", "-depth", "8"] + written_as(out),
                   check=True, stderr=subprocess.DEVNULL)  # one wallpaper's metadata draws a harmless warning


def paint(convert, variant, out):
    """A painted texture: a body colour in a soft gradient, a cheat line with
    dark outlines, a roundel, panel lines, rivets, lettering, light grain."""
    palettes = [("#e8e8e4", "#b8bcc0", "#c8102e", "#1d3c8f"), ("#1d3c8f", "#4a6fc9", "#f4c300", "#ffffff"),
                ("#f2f0e6", "#d6d0bc", "#2e7d32", "#f57c00"), ("#303030", "#5a5a5a", "#e53935", "#ffeb3b"),
                ("#fdfdfd", "#cfd8dc", "#0057b7", "#ffd700"), ("#7b1f1f", "#b03a2e", "#f5f5f5", "#212121")]
    top, bottom, stripe, accent = palettes[variant % len(palettes)]
    tilt = 30 + 25 * variant
    draw = [convert, "-size", "512x512", f"gradient:{top}-{bottom}",
            "-fill", stripe, "-stroke", "#141414", "-strokewidth", "3",
            "-draw", f"polygon 0,{250 + tilt % 60} 512,{180 + tilt % 90} 512,{250 + tilt % 90} 0,{330 + tilt % 60}",
            "-fill", accent, "-stroke", "#141414", "-strokewidth", "2",
            "-draw", f"polygon 0,{335 + tilt % 60} 512,{255 + tilt % 90} 512,{272 + tilt % 90} 0,{352 + tilt % 60}",
            "-fill", stripe, "-stroke", accent, "-strokewidth", "8",
            "-draw", f"circle {360 - 20 * variant},110 {360 - 20 * variant},160",
            "-stroke", "#3c3c3c", "-strokewidth", "1", "-fill", "none"]
    for x in range(64 + 16 * variant % 64, 512, 128):
        draw += ["-draw", f"line {x},0 {x},512"]
    draw += ["-draw", "line 0,420 512,420", "-stroke", "none", "-fill", "#505050"]
    for x in range(8, 512, 16):
        draw += ["-draw", f"circle {x},424 {x + 1},424", "-draw", f"circle {x},60 {x + 1},60"]
    draw += ["-font", "DejaVu-Sans-Bold", "-pointsize", str(56 + 6 * variant), "-fill", "#101010",
             "-stroke", accent, "-strokewidth", "2", "-annotate", f"+{30 + 10 * variant}+500", f"F-CRV{variant}",
             "-stroke", "none", "-pointsize", "14", "-fill", "#202020", "-annotate", "+300+470", "NO STEP  -  DANGER",
             "-attenuate", "0.25", "+noise", "Gaussian", "-blur", "0x0.5", "-alpha", "off", "-depth", "8"]
    draw += written_as(out)
    subprocess.run(draw, check=True)


def make_pictures(convert, folder, photos, painted):
    """The quality table's pictures as 512 PPM files: (photographs, painted)."""
    folder.mkdir(parents=True, exist_ok=True)
    made = ([], [])
    for name in PHOTOS[:photos]:
        out = folder / f"photo-{name}.ppm"
        cut_to_512(convert, wallpaper(name), out)
        made[0].append(out)
    for name in PAINTED_WALLPAPERS:
        out = folder / f"painted-{name}.ppm"
        cut_to_512(convert, wallpaper(name), out)
        made[1].append(out)
    for variant in range(painted):
        out = folder / f"painted-livery{variant}.ppm"
        paint(convert, variant, out)
        made[1].append(out)
    return made



# The crops each photograph gives the timed sources: (short side, gravity).
PHOTO_CROPS = [(1024, "center"), (768, "NorthWest"), (1536, "SouthEast")]


def make_real_sources(folder, count, convert):
    """`count` 512x512 24-bit BMP files of real photographs and painted
    textures, the same on every run: three crops of each photograph at three
    scales, the middle of each painted wallpaper, and painted liveries for
    the rest.  Photographs and paintings take turns, so that any first
    `count` holds both.  Returns the names, in the order made."""
    folder.mkdir(parents=True, exist_ok=True)
    photos = [(f"photo-{name}-{short}.bmp", wallpaper(name), short, gravity)
              for short, gravity in PHOTO_CROPS for name in PHOTOS]
    painted = [(f"painted-{name}.bmp", wallpaper(name), 1024, "center") for name in PAINTED_WALLPAPERS]
    painted += [(f"painted-livery{v:02d}.bmp", None, v, None)
                for v in range(max(0, count - len(photos) - len(painted)))]
    turns = []
    for i in range(max(len(photos), len(painted))):
        turns += ([photos[i]] if i < len(photos) else []) + ([painted[i]] if i < len(painted) else [])
    names = []
    for name, picture, size, gravity in turns[:count]:
        if picture is None:
            paint(convert, size, folder / name)
        else:
            cut_to_512(convert, picture, folder / name, size, gravity)
        names.append(name)
    return sorted(names)


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


def run_batch(corvane, source, destination, jobs, smooth, expected, dds=False, settle=False):
    """One `corvane --batch` run into an empty destination (of DDS textures
    with `dds`; after the disk has written out what earlier runs left with
    `settle`); returns (wall seconds, processor seconds)."""
    shutil.rmtree(destination, ignore_errors=True)
    destination.mkdir(parents=True)
    if settle:
        settle_disk()
    command = [str(corvane)]
    for setting in PINNED_SETTINGS + [f"Smooth8bit={1 if smooth else 0}"]:
        command += ["--set", setting]
    command += ["--batch", str(source), str(destination), "--jobs", str(jobs)] + (["--dds"] if dds else [])
    wall, cpu, done = timed(command)
    if done.returncode != 0:
        die(f"corvane --batch failed ({done.returncode}):\n{done.stdout[-2000:]}{done.stderr[-2000:]}")
    written = len(list(destination.glob("*.dds" if dds else "*.bmp")))
    if written != expected:
        die(f"corvane --batch wrote {written} of {expected} files")
    return wall, cpu


def median(values):
    return statistics.median(values)


def spread(values):
    return f"{min(values):.3f}..{max(values):.3f}" if len(values) > 1 else f"{values[0]:.3f}"


def settle_disk():
    """Writes out what earlier runs left for the disk, so that its flushing
    does not take a processor from the run timed next."""
    os.sync()


def magick_dds(convert, source, names, destination):
    """ImageMagick writing each source as DXT1 with its mips, one after another."""
    shutil.rmtree(destination, ignore_errors=True)
    destination.mkdir(parents=True)
    settle_disk()
    total = 0.0
    for name in names:
        out = destination / (Path(name).stem + ".dds")
        wall, _, done = timed([convert, str(source / name), "-define", "dds:compression=dxt1",
                               "-define", "dds:mipmaps=9", str(out)])
        if done.returncode != 0:
            die(f"ImageMagick could not write {out}")
        total += wall
    return total
