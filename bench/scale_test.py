#!/usr/bin/python3
"""Checks the font set that bench/run.sh --scale builds (benchlib.make_scaled_fonts), over the
fixture fonts: each copy is a hard link that fontconfig lists as a font of its own, the private
configuration lists the copies and nothing of the machine's, and odd folder names survive the
configuration's XML. CTest bench_scaled_fonts.

Usage: scale_test.py FIXTURE_DIR
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

COPIES = 3


def main(fixture_dir):
    fixtures = os.path.realpath(fixture_dir)
    failures = []
    fail = failures.append
    # Hard links need the fixtures' filesystem: the scratch folder sits beside them.
    scratch = tempfile.mkdtemp(prefix="scale-test.", dir=os.path.dirname(fixtures))
    try:
        # The fixtures alone, under a configuration of their own: none of the machine's fonts
        # leak in.
        cache = os.path.join(scratch, "cache")
        os.makedirs(cache)
        conf = os.path.join(scratch, "fixtures.conf")
        benchlib.write_private_fonts_conf(conf, cache, [fixtures])
        originals = benchlib.listed_font_files(conf)
        if len(originals) < 10:
            fail("only %d fixture files listed" % len(originals))
        leaked = [p for p in originals if not p.startswith(fixtures + "/")]
        if leaked:
            fail("listed outside the fixtures: %s" % " ".join(leaked[:3]))

        # Three copies, in a folder whose name needs escaping in XML.
        parent = os.path.join(scratch, "copies & <more>")
        os.makedirs(parent)
        fonts = benchlib.make_scaled_fonts(parent, COPIES, originals)
        if fonts.source_files != len(originals):
            fail("linked %d files per copy, not %d" % (fonts.source_files, len(originals)))
        one = benchlib.listed_font_files(fonts.conf[1])
        if len(one) != len(originals):
            fail("%d files listed over 1 copy of %d" % (len(one), len(originals)))
        listed = set(benchlib.listed_font_files(fonts.conf[COPIES]))
        if len(listed) != COPIES * len(originals):
            fail("%d files listed over %d copies of %d" % (len(listed), COPIES, len(originals)))
        for original in originals:
            for copy in range(1, COPIES + 1):
                path = os.path.join(fonts.root, str(copy)) + original
                if path not in listed:
                    fail("not listed: %s" % path)
                elif not os.path.samefile(path, original):
                    fail("not a hard link of %s: %s" % (original, path))

        # Across filesystems there can be no hard link: the helper must say so, not copy.
        if os.path.isdir("/dev/shm") and os.stat("/dev/shm").st_dev != os.stat(fixtures).st_dev:
            other = tempfile.mkdtemp(prefix="scale-test.", dir="/dev/shm")
            try:
                benchlib.link_font_copies(other, 1, originals)
                fail("linking across filesystems succeeded")
            except benchlib.CannotMeasure as e:
                if "another filesystem" not in str(e):
                    fail("no reason given: %s" % e)
                if os.listdir(other):
                    fail("linked some files before refusing: %s" % os.listdir(other))
            finally:
                shutil.rmtree(other, ignore_errors=True)
        else:
            print("skipped: no second filesystem at /dev/shm")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    for failure in failures:
        print("FAIL: %s" % failure)
    print("0 passed, 1 failed" if failures else "1 passed, 0 failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    sys.exit(main(sys.argv[1]))
