"""Installs the build into a temporary prefix and checks what a user meets there.
usage: check_install_tree.py CMAKE BUILD VERSION READMELOOKUP [PYTHON_X.Y (when the module is built)]"""
import os, subprocess, sys, tempfile

cmake, build, version, readme_lookup = sys.argv[1:5]
python_version = sys.argv[5] if len(sys.argv) > 5 else None
app_id = "org.pelvane.Pelvane"

def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{command}: {done.returncode}\n{done.stdout}{done.stderr}"
    return done.stdout.strip()

with tempfile.TemporaryDirectory(prefix="pelvane-install-") as tmp:
    prefix = os.path.join(tmp, "prefix")
    environment = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
    run([cmake, "--install", build, "--prefix", prefix], env=environment)
    path = lambda *parts: os.path.join(prefix, *parts)

    assert sorted(os.listdir(path("bin"))) == ["pelvane", "pelvane-cli"], os.listdir(path("bin"))
    assert run([path("bin", "pelvane-cli"), "--version"], cwd=tmp) == "pelvane-cli " + version
    # Help, from the installed program's folder.
    found = run([readme_lookup, path("bin")])
    assert found == path("share", "pelvane", "readme.txt"), found
    assert os.path.isfile(path("share", "pelvane", "readme.txt"))
    # The dialog saves a picture of itself once on screen, then closes.
    picture = os.path.join(tmp, "dialog.png")
    run([path("bin", "pelvane")], cwd=tmp, timeout=60,
        env=dict(os.environ, QT_QPA_PLATFORM="offscreen", PELVANE_SCREENSHOT=picture))
    assert os.path.getsize(picture) > 1000
    run(["desktop-file-validate", path("share", "applications", app_id + ".desktop")])
    for size in (16, 24, 32, 48, 64, 128):
        assert os.path.isfile(path("share", "icons", "hicolor", f"{size}x{size}", "apps", app_id + ".png")), size
    assert os.path.isfile(path("share", "man", "man1", "pelvane-cli.1.gz"))
    assert os.path.isfile(path("share", "man", "man1", "pelvane.1.gz"))
    for document in ("copyright", "changelog.Debian.gz", "README.md", "docs/python.md", "docs/method.md"):
        assert os.path.isfile(path("share", "doc", "pelvane", document)), document

    if python_version:
        site = path("lib", "python" + python_version, "dist-packages")
        found = run(["/usr/bin/python3", "-c", "import pelvane; print(pelvane.__file__, pelvane.__version__)"],
                    cwd=tmp, env=dict(os.environ, PYTHONPATH=site, PYTHONDONTWRITEBYTECODE="1"))
        assert found == os.path.join(site, "pelvane", "__init__.py") + " " + version, found
        for document in ("copyright", "changelog.Debian.gz", "python.md"):
            assert os.path.isfile(path("share", "doc", "python3-pelvane", document)), document
        # Under /usr the package goes where Debian's python3 looks, whatever the configured prefix.
        stage = os.path.join(tmp, "stage")
        run([cmake, "--install", build, "--prefix", "/usr"], env=dict(environment, DESTDIR=stage))
        assert os.listdir(os.path.join(stage, "usr", "lib")) == ["python3"]
        assert os.path.isfile(os.path.join(stage, "usr", "lib", "python3", "dist-packages", "pelvane", "__init__.py"))
print("installed tree: all checks passed")
