"""The platform facts program, run where the Windows build's tests run: on the runner's own
desktop on Windows, every fact must hold (the 32-bit build runs under WOW64 there); on Wine,
in a 64-bit prefix, what Wine lacks must be a skip that says so, never a pass."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from windows_host import ON_WINDOWS, windows_desktop  # noqa: E402

FACTS = os.environ.get("HUNGSCAN_FACTS_EXE", "")
WORK = os.environ.get("HUNGSCAN_WINE_WORK", "")
LINE = re.compile(r"^(ok|skip|FAIL) \(([a-f])\) [^:\r\n]+(?:: ([^\r\n]*))?$")
# Measured on Wine 8: no NtWow64QueryInformationProcess64 export, no Wait Chain Traversal (in
# a 64-bit prefix advapi32 does not export it; elsewhere a session is refused as not supported,
# asynchronous or not).
WINE_LACKS = {"a": "ntdll does not export", "d": "does not export it|not supported",
              "f": "does not export it|not supported"}


class PlatformFacts(unittest.TestCase):
    def test_each_fact_holds_or_is_named_missing(self):
        if not os.path.isfile(FACTS) or not WORK:
            raise RuntimeError("not configured: HUNGSCAN_FACTS_EXE, HUNGSCAN_WINE_WORK")
        with windows_desktop(WORK, "win64").open() as desk:
            status, out, err = desk.run(FACTS, timeout=120)
        text = out.decode("ascii", "replace")
        print(text, file=sys.stderr)
        lines = [LINE.match(line) for line in text.splitlines()]
        self.assertTrue(all(lines), text)
        verdicts = {m.group(2): (m.group(1), m.group(3) or "") for m in lines}
        self.assertEqual(sorted(verdicts), list("abcdef"), text)
        expected = {fact: "ok" for fact in "abcdef"}
        if not ON_WINDOWS:
            expected.update({fact: "skip" for fact in WINE_LACKS})
        self.assertEqual({fact: v[0] for fact, v in verdicts.items()}, expected, text)
        for fact, reason in WINE_LACKS.items():
            if not ON_WINDOWS:
                self.assertRegex(verdicts[fact][1], reason, text)
        self.assertEqual((status, err), (0, b""), text)


if __name__ == "__main__":
    unittest.main()
