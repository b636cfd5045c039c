"""The ctypes records against the C compiler's layout of tarnlink.h."""
import ctypes
import shutil
import subprocess

import pytest

from tarnlink import records as r
from conftest import REPO


def test_every_record_matches_the_header(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    lines = ["#include <stdio.h>", "#include <tarnlink/tarnlink.h>", "int main(void) {"]
    expected = []
    for rec in r.RECORDS:
        name = rec.__name__
        lines.append('printf("%s %%zu\\n", sizeof(%s));' % (name, name))
        expected.append("%s %d" % (name, ctypes.sizeof(rec)))
        for field, *_ in rec._fields_:
            lines.append('printf("%s.%s %%zu\\n", offsetof(%s, %s));' % (name, field, name, field))
            expected.append("%s.%s %d" % (name, field, getattr(rec, field).offset))
    lines += ["return 0;", "}"]
    src = tmp_path / "layout.c"
    src.write_text("\n".join(lines))
    exe = tmp_path / "layout"
    subprocess.run([cc, "-std=c11", "-I", str(REPO / "include"), str(src), "-o", str(exe)], check=True)
    got = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout.split("\n")
    assert got[:-1] == expected
