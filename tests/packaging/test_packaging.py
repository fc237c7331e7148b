"""The installed package as its users meet it.

A release build is installed into a temporary prefix, which is then moved
(everything installed must find its files relative to itself). The examples
are built against the moved prefix with CMake and with pkg-config, shared and
static, and run; the Python example runs over the binding. The Debian package
is built with cpack and checked with dpkg-deb, and the C example is built
against the package's extracted files.

BV_BUILD_DIR names the build to install (default build/release).
"""
import os
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
VERSION = re.search(r"project\(brelvane-mqtt VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)
TIMEOUT = 120

# Everything `cmake --install` puts in place, and nothing else.
INSTALLED = {
    "bin/brelvane-mqttd",
    "include/brelvane_mqtt.h",
    "lib/libbrelvane-mqtt.a",
    "lib/libbrelvane-mqtt.so",
    "lib/libbrelvane-mqtt.so.1",
    "lib/libbrelvane-mqtt.so.%s" % VERSION,
    "lib/pkgconfig/brelvane-mqtt.pc",
    "lib/cmake/brelvane-mqtt/brelvane-mqtt-config.cmake",
    "lib/cmake/brelvane-mqtt/brelvane-mqtt-config-version.cmake",
    "lib/cmake/brelvane-mqtt/brelvane-mqtt-targets.cmake",
    "lib/cmake/brelvane-mqtt/brelvane-mqtt-targets-{config}.cmake",
    "lib/cmake/brelvane-mqtt/brelvane-mqtt-static-targets.cmake",
    "lib/cmake/brelvane-mqtt/brelvane-mqtt-static-targets-{config}.cmake",
}


def build_dir():
    d = Path(os.environ.get("BV_BUILD_DIR", ROOT / "build" / "release"))
    if not (d / "CPackConfig.cmake").exists():
        pytest.fail("%s is not a configured and built release tree; set BV_BUILD_DIR" % d)
    return d


def installed_files():
    """INSTALLED with the build type of the build under test filled in."""
    cache = (build_dir() / "CMakeCache.txt").read_text()
    config = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M).group(1).lower()
    return {p.format(config=config or "noconfig") for p in INSTALLED}


def run(cmd, **kwargs):
    """Runs a command; on failure the assertion shows its output."""
    p = subprocess.run([str(c) for c in cmd], capture_output=True, text=True,
                       timeout=TIMEOUT, **kwargs)
    assert p.returncode == 0, "%s failed (%d):\n%s\n%s" % (
        " ".join(map(str, cmd)), p.returncode, p.stdout[-3000:], p.stderr[-3000:])
    return p.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def run_host(cmd, env=None):
    """Runs an example host on a free port; it exits 0 only when its calls
    succeeded and the reports showed what it published. Retries when another
    process took the port between choosing and binding it."""
    for _ in range(5):
        port = free_port()
        p = subprocess.run([str(c) for c in cmd] + [str(port)], capture_output=True,
                           text=True, timeout=TIMEOUT, env=env)
        if p.returncode == 0:
            return p.stdout
        if "Failed to bind TCP port" not in p.stderr:
            break
    pytest.fail("%s exited %d:\n%s\n%s" % (cmd[0], p.returncode, p.stdout, p.stderr))


def cmake_build(source, build, prefix, *options):
    run(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_PREFIX_PATH=%s" % prefix,
         "-DCMAKE_C_FLAGS=-Wall -Wextra -pedantic -Werror",
         "-DCMAKE_CXX_FLAGS=-Wall -Wextra -pedantic -Werror", *options])
    run(["cmake", "--build", build])
    # The package came from this prefix, not from a copy installed elsewhere.
    cache = (Path(build) / "CMakeCache.txt").read_text()
    assert "brelvane-mqtt_DIR:PATH=%s/lib/cmake/brelvane-mqtt" % prefix in cache


def needed(binary):
    return [line.split("[")[1].rstrip("]") for line in run(["readelf", "-d", binary]).splitlines()
            if "(NEEDED)" in line]


def with_env(**extra):
    env = dict(os.environ)
    env.pop("BRELVANE_MQTT_LIBRARY", None)
    env.update({k: str(v) for k, v in extra.items()})
    return env


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    """The release build installed into a temporary prefix, then moved."""
    base = tmp_path_factory.mktemp("install")
    run(["cmake", "--install", build_dir(), "--prefix", base / "staged"])
    moved = base / "moved"
    (base / "staged").rename(moved)
    return moved


def test_install_tree(prefix):
    files = {str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir()}
    assert files == installed_files()
    lib = prefix / "lib"
    assert os.readlink(lib / "libbrelvane-mqtt.so") == "libbrelvane-mqtt.so.1"
    assert os.readlink(lib / "libbrelvane-mqtt.so.1") == "libbrelvane-mqtt.so.%s" % VERSION
    assert "Library soname: [libbrelvane-mqtt.so.1]" in run(["readelf", "-d", lib / "libbrelvane-mqtt.so"])
    # The host program finds the library of its own prefix.
    assert VERSION in run([prefix / "bin" / "brelvane-mqttd", "--version"])

    env = with_env(PKG_CONFIG_PATH=lib / "pkgconfig")
    assert run(["pkg-config", "--modversion", "brelvane-mqtt"], env=env).strip() == VERSION
    cflags = run(["pkg-config", "--cflags", "brelvane-mqtt"], env=env).split()
    assert [Path(f[2:]).resolve() for f in cflags] == [prefix / "include"]
    static_libs = run(["pkg-config", "--static", "--libs", "brelvane-mqtt"], env=env).split()
    assert static_libs[1:] == ["-lbrelvane-mqtt", "-lz", "-pthread", "-lstdc++", "-lm"]


def test_c_host_with_cmake(prefix, tmp_path):
    build = tmp_path / "build"
    cmake_build(EXAMPLES / "c_host", build, prefix)
    assert "libbrelvane-mqtt.so.1" in needed(build / "c_host")
    out = run_host([build / "c_host"])
    assert '"topic":"home/kitchen/temperature"' in out

    # The same project against the static archive: nothing of the library
    # is loaded at run time.
    cmake_build(EXAMPLES / "c_host", build, prefix, "-DBRELVANE_MQTT_STATIC=ON")
    assert not any(n.startswith("libbrelvane") for n in needed(build / "c_host"))
    run_host([build / "c_host"])


def test_c_host_with_pkg_config(prefix, tmp_path):
    source = tmp_path / "c_host"
    shutil.copytree(EXAMPLES / "c_host", source)
    env = with_env(PKG_CONFIG_PATH=prefix / "lib" / "pkgconfig")
    run(["make", "-C", source, "CFLAGS=-Wall -Wextra -pedantic -Werror"], env=env)
    run_host([source / "c_host"], env=with_env(LD_LIBRARY_PATH=prefix / "lib"))

    run(["make", "-C", source, "clean"], env=env)
    run(["make", "-C", source, "STATIC=1", "CFLAGS=-Wall -Wextra -pedantic -Werror"], env=env)
    assert not any(n.startswith("libbrelvane") for n in needed(source / "c_host"))
    run_host([source / "c_host"], env=with_env())


def test_cpp_host(prefix, tmp_path):
    cmake_build(EXAMPLES / "cpp_host", tmp_path / "build", prefix)
    out = run_host([tmp_path / "build" / "cpp_host"])
    assert "published 3, retained 2" in out


def test_python_host(prefix):
    # The binding finds the library through the loader's search path.
    env = with_env(PYTHONPATH=ROOT / "bindings" / "python", LD_LIBRARY_PATH=prefix / "lib")
    out = run_host([sys.executable, EXAMPLES / "python_host" / "host.py"], env=env)
    assert "published 3" in out


def test_debian_package(tmp_path):
    run(["cpack", "-G", "DEB", "--config", build_dir() / "CPackConfig.cmake", "-B", tmp_path])
    arch = run(["dpkg", "--print-architecture"]).strip()
    deb = tmp_path / ("brelvane-mqtt_%s_%s.deb" % (VERSION, arch))
    assert deb.exists(), sorted(p.name for p in tmp_path.iterdir())

    fields = {}
    for name in ["Package", "Version", "Architecture", "Maintainer", "Depends", "Section",
                 "Description"]:
        fields[name] = run(["dpkg-deb", "-f", deb, name]).strip()
    assert (fields["Package"], fields["Version"], fields["Architecture"]) == (
        "brelvane-mqtt", VERSION, arch)
    assert "<" in fields["Maintainer"] and fields["Section"]
    depends = {d.split()[0] for d in fields["Depends"].split(", ")}
    assert {"libc6", "zlib1g", "libstdc++6"} <= depends
    assert fields["Description"].startswith("embeddable MQTT broker")

    contents = run(["dpkg-deb", "-c", deb])
    paths = {line.split()[5].lstrip(".").lstrip("/") for line in contents.splitlines()
             if not line.startswith("d")}
    assert paths == {"usr/" + p for p in installed_files()}
    # The shlibs file lets other packages depend on this one; ldconfig runs
    # after install and removal.
    info = tmp_path / "control"
    run(["dpkg-deb", "-e", deb, info])
    assert (info / "shlibs").read_text().split() == [
        "libbrelvane-mqtt", "1", "brelvane-mqtt", "(>=", "%s)" % VERSION]
    assert "ldconfig" in (info / "postinst").read_text()

    # The packaged files work where they land: a pkg-config build of the C
    # example against the extracted /usr tree.
    root = tmp_path / "root"
    run(["dpkg-deb", "-x", deb, root])
    source = tmp_path / "c_host"
    shutil.copytree(EXAMPLES / "c_host", source)
    run(["make", "-C", source], env=with_env(PKG_CONFIG_PATH=root / "usr/lib/pkgconfig"))
    run_host([source / "c_host"], env=with_env(LD_LIBRARY_PATH=root / "usr/lib"))
