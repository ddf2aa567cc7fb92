"""Builds varlix's Python package, the library compiled from the repository's own sources."""

import os
import re

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def root_sources(folder, leave_out):
    """The .cc files of a folder of the repository, relative to this file's folder."""
    names = sorted(n for n in os.listdir(os.path.join(ROOT, folder))
                   if n.endswith(".cc") and n not in leave_out)
    return [os.path.relpath(os.path.join(ROOT, folder, n), HERE) for n in names]


def project_version():
    """The version written once, on the project() line of the top CMakeLists.txt."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        found = re.search(r"project\(varlix\s+VERSION\s+([0-9.]+)", cmake.read())
    if found is None:
        raise RuntimeError("no version on the project() line of CMakeLists.txt")
    return found.group(1)


# VARLIX_PY_CFLAGS adds compiler flags, for a sanitized or a -Werror build.
extra_flags = os.environ.get("VARLIX_PY_CFLAGS", "").split()

extension = Extension(
    "varlix._varlix",
    sources=[os.path.relpath(os.path.join(HERE, "glue", "module.cc"), HERE)]
    + [os.path.relpath(os.path.join(ROOT, "explode", "explode.cc"), HERE)]
    + root_sources("archive", leave_out=("file_ops_win32.cc",))
    + [os.path.relpath(os.path.join(ROOT, "cli", "status.cc"), HERE)],
    include_dirs=[ROOT],
    define_macros=[("VARLIX_PY_VERSION", '"%s"' % project_version())],
    language="c++",
    # Hidden: the module's one entry point is all the extension exports.
    extra_compile_args=["-std=c++17", "-fvisibility=hidden", "-Wall", "-Wextra", "-Wpedantic",
                        "-Wconversion"] + extra_flags,
    extra_link_args=extra_flags,
)

os.chdir(HERE)
setup(
    name="varlix",
    version=project_version(),
    description="Lists, tests and extracts InstallShield 3 .Z installer archives",
    license="MIT",
    packages=["varlix"],
    package_data={"varlix": ["py.typed", "*.pyi"]},
    ext_modules=[extension],
    python_requires=">=3.9",
    zip_safe=False,
)
