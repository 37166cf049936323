"""What the viewer benchmarks share: the offscreen screen they run the viewer on and the
bytes a folder holds on disc."""
import os


def offscreen_env(work, **extra):
    """The environment of a viewer run in work: its own runtime, data and settings folders and
    a 1280 x 1024 offscreen screen."""
    screen = os.path.join(work, "screen.json")
    with open(screen, "w") as f:
        f.write('{ "screens": [ { "name": "b", "x": 0, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96 } ] }')
    env = dict(os.environ, XDG_RUNTIME_DIR=work, XDG_DATA_HOME=work, XDG_CONFIG_HOME=work,
               QT_QPA_PLATFORM="offscreen:configfile=" + screen, PYTHONDONTWRITEBYTECODE="1")
    env.update(extra)
    return env


def held_bytes(folder):
    """What the files below folder take on disc, each inode once however many names it has."""
    seen, total = set(), 0
    for top, _, files in os.walk(folder):
        for name in files:
            try:
                st = os.lstat(os.path.join(top, name))
            except OSError:
                continue
            if (st.st_dev, st.st_ino) not in seen:
                seen.add((st.st_dev, st.st_ino))
                total += st.st_blocks * 512
    return total
