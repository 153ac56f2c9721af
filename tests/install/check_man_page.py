"""Checks that the manual page and pelvane-cli --help name the same long options,
and that the page carries the program's version.

usage: check_man_page.py PELVANE_CLI MAN_PAGE
"""

import re
import shutil
import subprocess
import sys
import unittest

# Options the manual page already describes while the command line does not
# have them yet (the refine work). Delete this list once --help shows them.
NOT_YET_IN_HELP = {"--refine", "--status-output"}

LONG_OPTION = re.compile(r"--[a-z][a-z0-9-]*")

cli = None
man_page = None


def help_options():
    run = subprocess.run([cli, "--help"], capture_output=True, text=True, check=True)
    return set(LONG_OPTION.findall(run.stdout))


def page_text():
    with open(man_page, encoding="utf-8") as f:
        # roff writes a hyphen that must stay one as \-.
        return f.read().replace("\\-", "-")


class ManualPage(unittest.TestCase):
    def test_every_help_option_is_described(self):
        missing = help_options() - set(LONG_OPTION.findall(page_text()))
        self.assertFalse(missing, f"in --help, not in {man_page}")

    def test_every_described_option_exists(self):
        unknown = set(LONG_OPTION.findall(page_text())) - help_options() - NOT_YET_IN_HELP
        self.assertFalse(unknown, f"in {man_page}, not in --help")

    def test_help_lists_options(self):
        # Guards the two checks above against an empty or changed --help.
        self.assertTrue({"--target", "--fill", "--output", "--help", "--version"} <= help_options())

    def test_every_option_has_an_entry_under_options(self):
        # Each option of --help heads a tagged paragraph of OPTIONS, not only
        # a mention somewhere in the text.
        text = page_text()
        options = text[text.index(".SH OPTIONS"):text.index(".SH GAP MODES")]
        headed = set()
        for tag in re.findall(r"^\.TP\n(.*)$", options, re.MULTILINE):
            headed.update(LONG_OPTION.findall(tag))
        self.assertFalse(help_options() - headed)

    def test_version_matches_the_program(self):
        run = subprocess.run([cli, "--version"], capture_output=True, text=True, check=True)
        version = run.stdout.split()[-1]
        header = re.search(r'^\.TH .*"Pelvane ([^"]+)"', page_text(), re.MULTILINE)
        self.assertIsNotNone(header)
        self.assertEqual(header.group(1), version)

    def test_groff_reads_it_without_warnings(self):
        groff = shutil.which("groff")  # groff-base, through scripts/bootstrap
        self.assertIsNotNone(groff, "groff is not installed")
        run = subprocess.run([groff, "-man", "-Tutf8", "-ww", "-z", man_page],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, "")


if __name__ == "__main__":
    cli, man_page = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
