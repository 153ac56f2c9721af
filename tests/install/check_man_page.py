"""Checks the manual page against pelvane-cli: the same long options as --help,
the same version, and no groff warnings.  usage: check_man_page.py PELVANE_CLI MAN_PAGE"""
import re, subprocess, sys

cli, man_page = sys.argv[1:3]
option = re.compile(r"--[a-z][a-z0-9-]*")
help_text = subprocess.run([cli, "--help"], capture_output=True, text=True, check=True).stdout
version = subprocess.run([cli, "--version"], capture_output=True, text=True, check=True).stdout.split()[-1]
with open(man_page, encoding="utf-8") as f:
    page = f.read().replace("\\-", "-")  # roff's unbreakable hyphen
in_help, in_page = set(option.findall(help_text)), set(option.findall(page))

failures = []
if not {"--target", "--output", "--help"} <= in_help:
    failures.append(f"--help lists no options: {help_text}")
if in_help - in_page:
    failures.append(f"in --help, not in the page: {sorted(in_help - in_page)}")
if in_page - in_help:
    failures.append(f"in the page, not in --help: {sorted(in_page - in_help)}")
if not re.search(rf'^\.TH .*"Pelvane {re.escape(version)}"', page, re.MULTILINE):
    failures.append(f"the page's .TH line does not name version {version}")
groff = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", man_page], capture_output=True, text=True)
if groff.returncode != 0 or groff.stderr:
    failures.append(f"groff: {groff.stderr}")
print("\n".join(failures) or "manual page: all checks passed")
sys.exit(1 if failures else 0)
