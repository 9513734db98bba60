"""The input check on the project's own workflows (clean) and on a fixture with misspelled
inputs (each one named, nothing else)."""

import glob
import os
import unittest

import check_action_inputs

HERE = os.path.dirname(os.path.abspath(__file__))
WORKFLOWS = sorted(glob.glob(os.path.join(HERE, "..", "..", ".github", "workflows", "*.yml")))

CASES = [(os.path.basename(w), w, []) for w in WORKFLOWS] + [
    ("misspelled inputs", os.path.join(HERE, "fixtures", "misspelled-inputs.yml"), [
        "job build step 1: actions/checkout@v5 has no input 'fetch-dept'",
        "job build step 2: actions/upload-artifact@v6 has no input 'nmae'",
        "job build step 2: actions/upload-artifact@v6 has no input 'overwrit'",
        "job windows: ./.github/workflows/windows-shipped.yml has no input 'zip-artifcat'"]),
]


class ActionInputs(unittest.TestCase):
    def test_cases(self):
        self.assertGreaterEqual(len(WORKFLOWS), 4)
        for name, path, expected in CASES:
            with self.subTest(name):
                self.assertEqual(check_action_inputs.problems(path), expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
