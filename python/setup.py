"""Builds the Python package `kavro`: the compiled module _kavro against the
library, and the pure Python part.

    pip install --no-build-isolation ./python

Where the library comes from, first match:
  KAVRO_LIBRARY_DIR  a folder with libkavro.so (a CMake build tree of this
                     repository or <prefix>/lib); the headers come from
                     KAVRO_INCLUDE_DIR, else this repository's include/.
                     The library is copied into the package.
  pkg-config kavro   an installed library (e.g. `cmake --install` into a
                     prefix on PKG_CONFIG_PATH): linked where it is, with a
                     run path to it.
  otherwise          the library is built from this repository with CMake
                     (only the `kavro` target) and copied into the package.

The package finds a copied library next to the module (run path $ORIGIN),
so it needs no LD_LIBRARY_PATH. pybind11's headers come from the pybind11
Python package when it is importable, else from the system (pybind11-dev).
"""
import glob
import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def _version(header):
    text = Path(header).read_text()
    parts = [re.search(rf"^#define KAVRO_VERSION_{p} (\d+)$", text, re.M) for p in ("MAJOR", "MINOR", "PATCH")]
    if not all(parts):
        raise SystemExit(f"kavro: no KAVRO_VERSION_* in {header}")
    return ".".join(m.group(1) for m in parts)


def _pkg_config(*args):
    try:
        return subprocess.run(["pkg-config", *args, "kavro"], check=True, capture_output=True,
                              text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def _cmake_build(build_temp):
    """Builds the library from the repository; the folder holding libkavro.so."""
    if not (ROOT / "CMakeLists.txt").is_file():
        raise SystemExit("kavro: no library found (set KAVRO_LIBRARY_DIR or install it where pkg-config "
                         "finds it) and no repository to build it from")
    build = Path(build_temp).resolve() / "libkavro"
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DKAVRO_BUILD_TESTS=OFF"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    subprocess.run(configure, check=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "kavro", "-j", str(os.cpu_count() or 1)],
                   check=True)
    return build


class BuildExt(build_ext):
    """Finds (or builds) the library, compiles _kavro against it and copies
    the library into the package when it is not an installed one."""

    def build_extension(self, ext):
        lib_dir = os.environ.get("KAVRO_LIBRARY_DIR")
        include_dir = os.environ.get("KAVRO_INCLUDE_DIR") or str(ROOT / "include")
        bundle = True
        if lib_dir:
            lib_dir = Path(lib_dir).resolve()
        elif _pkg_config("--exists") is not None:
            bundle = False
        else:
            lib_dir = _cmake_build(self.build_temp)

        ext.extra_compile_args += ["-std=c++20", "-fvisibility=hidden"]
        try:
            import pybind11
            ext.include_dirs.append(pybind11.get_include())
        except ImportError:
            pass  # the system's headers (/usr/include/pybind11)
        if bundle:
            if not (Path(include_dir) / "kavro.hpp").is_file():
                raise SystemExit(f"kavro: no kavro.hpp in {include_dir} (set KAVRO_INCLUDE_DIR)")
            libs = sorted(glob.glob(str(lib_dir / "libkavro.so.*")), key=len)
            if not libs:
                raise SystemExit(f"kavro: no libkavro.so.* in {lib_dir}")
            soname = Path(libs[0]).name  # libkavro.so.MAJOR, the name the module loads
            ext.include_dirs.append(include_dir)
            ext.library_dirs.append(str(lib_dir))
            ext.libraries.append("kavro")
            ext.extra_link_args += ["-Wl,-rpath,$ORIGIN"]
        else:
            ext.extra_compile_args += shlex.split(_pkg_config("--cflags"))
            ext.extra_link_args += shlex.split(_pkg_config("--libs"))
        super().build_extension(ext)
        if bundle:
            dest = Path(self.get_ext_fullpath(ext.name)).parent / soname
            shutil.copyfile(os.path.realpath(lib_dir / soname), dest)


def _package_version():
    if "KAVRO_INCLUDE_DIR" in os.environ:
        return _version(Path(os.environ["KAVRO_INCLUDE_DIR"]) / "kavro.h")
    if (ROOT / "include" / "kavro.h").is_file():
        return _version(ROOT / "include" / "kavro.h")
    return _pkg_config("--modversion") or "0"


setup(
    name="kavro",
    version=_package_version(),
    description="Time-of-flight depth camera interface (libkavro) for Python",
    packages=["kavro"],
    package_data={"kavro": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("kavro._kavro", ["kavro_module.cpp"], language="c++")],
    cmdclass={"build_ext": BuildExt},
    python_requires=">=3.9",
    install_requires=["numpy"],
    zip_safe=False,
)
