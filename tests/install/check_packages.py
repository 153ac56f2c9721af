"""Builds the Debian packages from the build and has lintian check every one
of them: no error and no warning. Skipped (exit 77) where lintian is not installed.
usage: check_packages.py BUILD"""
import glob, os, shutil, subprocess, sys, tempfile

build = sys.argv[1]
if shutil.which("lintian") is None:
    print("lintian is not installed: skipped")
    sys.exit(77)
with tempfile.TemporaryDirectory(prefix="pelvane-packages-") as folder:
    made = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                           "-B", folder], capture_output=True, text=True)
    assert made.returncode == 0, made.stdout + made.stderr
    packages = sorted(glob.glob(os.path.join(folder, "*.deb")))
    names = [os.path.basename(p).split("_")[0] for p in packages]
    assert {"pelvane", "python3-pelvane"} <= set(names), packages
    checked = subprocess.run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", *packages],
                             capture_output=True, text=True)
    print(checked.stdout, end="")
    sys.exit(0 if checked.returncode == 0 else 1)
