"""Installs the build into temporary prefixes and checks what a user meets there.

usage: check_install_tree.py [--cmake CMAKE] --build DIR --source DIR --version X.Y.Z
                             --readme-lookup PROGRAM [--python X.Y]

Without --python the build has no Python module (the sanitizer build) and
that part is left out.
"""

import argparse
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

APP_ID = "org.pelvane.Pelvane"
ICON_SIZES = (16, 24, 32, 48, 64, 128)

args = None


def install(build, prefix, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir:
        env["DESTDIR"] = destdir
    subprocess.run([args.cmake, "--install", build, "--prefix", prefix],
                   check=True, env=env, stdout=subprocess.DEVNULL)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


def desktop_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if "=" in line:
                key, value = line.rstrip("\n").split("=", 1)
                entry[key] = value
    return entry


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="pelvane-install-")
        cls.prefix = os.path.join(cls.tmp.name, "prefix")
        install(args.build, cls.prefix)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_bin_holds_the_two_programs_only(self):
        self.assertEqual(sorted(os.listdir(self.path("bin"))), ["pelvane", "pelvane-cli"])
        for program in ("pelvane", "pelvane-cli"):
            self.assertTrue(os.access(self.path("bin", program), os.X_OK), program)

    def test_cli_tells_its_version(self):
        run = subprocess.run([self.path("bin", "pelvane-cli"), "--version"],
                             capture_output=True, text=True, cwd=self.tmp.name)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.strip(), "pelvane-cli " + args.version)

    def test_help_finds_the_installed_guide(self):
        run = subprocess.run([args.readme_lookup, self.path("bin")],
                             capture_output=True, text=True, check=True)
        found = run.stdout.strip()
        self.assertEqual(found, self.path("share", "pelvane", "readme.txt"))
        with open(found, "rb") as installed, \
                open(os.path.join(args.source, "app", "readme.txt"), "rb") as source:
            self.assertEqual(installed.read(), source.read())

    def test_dialog_starts(self):
        # The dialog saves a picture of itself once on screen and closes.
        picture = os.path.join(self.tmp.name, "dialog.png")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", PELVANE_SCREENSHOT=picture)
        run = subprocess.run([self.path("bin", "pelvane")], env=env, cwd=self.tmp.name,
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        width, height = png_size(picture)
        self.assertGreater(width, 100)
        self.assertGreater(height, 100)

    def test_desktop_entry_names_the_program_and_the_icon(self):
        entry = desktop_entry(self.path("share", "applications", APP_ID + ".desktop"))
        self.assertEqual(entry["Type"], "Application")
        self.assertEqual(entry["Exec"].split()[0], "pelvane")
        self.assertEqual(entry["Icon"], APP_ID)
        self.assertIn("Science", entry["Categories"].split(";"))
        self.assertIn("Geography", entry["Categories"].split(";"))
        validate = shutil.which("desktop-file-validate")  # desktop-file-utils, through scripts/bootstrap
        self.assertIsNotNone(validate, "desktop-file-validate is not installed")
        run = subprocess.run([validate, self.path("share", "applications", APP_ID + ".desktop")],
                             capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stdout + run.stderr), (0, ""))

    def test_icons_in_their_hicolor_folders(self):
        for size in ICON_SIZES:
            icon = self.path("share", "icons", "hicolor", f"{size}x{size}", "apps", APP_ID + ".png")
            self.assertEqual(png_size(icon), (size, size), icon)

    def test_manual_page(self):
        with gzip.open(self.path("share", "man", "man1", "pelvane-cli.1.gz")) as installed, \
                open(os.path.join(args.source, "docs", "man", "pelvane-cli.1"), "rb") as source:
            self.assertEqual(installed.read(), source.read())

    def test_python_module_imports_from_the_installed_tree(self):
        if not args.python:
            self.skipTest("no Python module in this build")
        site = self.path("lib", "python" + args.python, "dist-packages")
        env = dict(os.environ, PYTHONPATH=site, PYTHONDONTWRITEBYTECODE="1")
        run = subprocess.run(
            ["/usr/bin/python3", "-c", "import pelvane; print(pelvane.__file__); print(pelvane.__version__)"],
            env=env, cwd=self.tmp.name, capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        module_file, version = run.stdout.split()
        self.assertEqual(module_file, os.path.join(site, "pelvane", "__init__.py"))
        self.assertEqual(version, args.version)

    def test_python_module_under_usr_goes_where_debian_looks(self):
        if not args.python:
            self.skipTest("no Python module in this build")
        stage = os.path.join(self.tmp.name, "stage")
        install(args.build, "/usr", destdir=stage)
        package = os.path.join(stage, "usr", "lib", "python3", "dist-packages", "pelvane")
        self.assertTrue(os.path.isfile(os.path.join(package, "__init__.py")))
        self.assertTrue(any(name.startswith("_pelvane") and name.endswith(".so")
                            for name in os.listdir(package)))
        self.assertEqual(os.listdir(os.path.join(stage, "usr", "lib")), ["python3"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--readme-lookup", required=True)
    parser.add_argument("--python", default="")
    args = parser.parse_args()
    unittest.main(argv=[sys.argv[0], "-v"])
