"""Builds the package with its C libraries, as yara-python builds libyara: CMake makes libzmscan,
libzebmacro and zmscan-worker (the targets zmcapi, zebmacro, zmscan-worker) in build/python of the
repository, or they are taken from a build that has them (ZEBMACRO_LIBRARY_DIR, a build's bin/),
and copied into zebmacro/lib. Everything else is in pyproject.toml."""
import os
import re
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(zebmacro VERSION (\S+)", f.read()).group(1)


class BuildPyWithLibraries(build_py):
    def run(self):
        super().run()
        built = os.environ.get("ZEBMACRO_LIBRARY_DIR") or self.cmake()
        dest = os.path.join(self.build_lib, "zebmacro", "lib")
        os.makedirs(dest, exist_ok=True)
        # libzebmacro under its versioned file name, which tells the library's version; libzmscan
        # finds it by that name beside itself.
        engine = os.path.realpath(os.path.join(built, "libzebmacro.so"))
        for src, name in ((os.path.join(built, "libzmscan.so"), "libzmscan.so"),
                          (engine, os.path.basename(engine)),
                          (os.path.join(built, "zmscan-worker"), "zmscan-worker")):
            if not os.path.exists(src):
                raise SystemExit("zebmacro: %s was not built" % src)
            shutil.copy2(os.path.realpath(src), os.path.join(dest, name))
        # The archive and mail readers, loaded beside libzmscan when a container is met; a build
        # without them (Windows) answers containers as not in this build.
        module = os.path.join(built, "libzebmacro-containers.so")
        if os.path.exists(module):
            shutil.copy2(module, os.path.join(dest, os.path.basename(module)))

    def cmake(self):
        build = os.path.join(ROOT, "build", "python")
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DZEBMACRO_BUILD_TESTS=OFF"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "zmcapi", "zebmacro",
                        "zmscan-worker", "zebmacro-containers"], check=True)
        return os.path.join(build, "bin")


class PlatformDistribution(Distribution):
    """The wheel holds native code, so it is tagged for this platform."""

    def has_ext_modules(self):
        return True


setup(version=project_version(), cmdclass={"build_py": BuildPyWithLibraries},
      distclass=PlatformDistribution)
