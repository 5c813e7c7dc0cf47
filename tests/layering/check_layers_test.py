#!/usr/bin/env python3
"""The layer check on small trees under tests/fixtures/layering: a clean one passes, planted
upward, sibling, relative and camera-layer includes are each reported, a folder outside the
order and a forbidden header fail."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", ".."))
CHECK = os.path.join(TOP, "scripts", "check_layers.py")
TREES = os.path.join(TOP, "tests", "fixtures", "layering")


def run_check(tree, *extra):
    result = subprocess.run([sys.executable, CHECK, os.path.join(TREES, tree), *extra],
                            capture_output=True, text=True, timeout=60)
    # One line per problem, then the summary line.
    problems = result.stdout.splitlines()[:-1]
    return result.returncode, problems, result.stdout


class LayerCheckTest(unittest.TestCase):
    def test_clean_tree_passes(self):
        code, problems, out = run_check("clean")
        self.assertEqual(code, 0, out)
        self.assertEqual(problems, [])

    def test_each_planted_include_is_reported(self):
        code, problems, out = run_check("upward")
        self.assertEqual(code, 1, out)
        self.assertEqual(problems, [
            'core/Log.cpp:2: core includes "kinematics/Arm.h" (kinematics is not below core)',
            'hardware/Bus.cpp:1: hardware includes "motion/Path.h" (motion is not below hardware)',
            'motion/Path.cpp:1: motion includes "../control/include/control/Master.h"'
            ' (control is not below motion)',
            'remote/Server.cpp:2: remote includes "cloud/Client.h" (cloud is not below remote)',
            'vision/Camera.cpp:2: vision includes "kinematics/Arm.h" (vision may include only core)',
        ])

    def test_folder_outside_the_order_fails(self):
        code, problems, out = run_check("stray")
        self.assertEqual(code, 1, out)
        self.assertEqual(problems, ["extras/: not in the layer order (add it to TIERS)"])

    def test_forbidden_header_fails_although_the_order_allows_it(self):
        code, problems, out = run_check("clean", "--forbid", "remote=control/RobotMaster.h")
        self.assertEqual(code, 1, out)
        self.assertEqual(problems, ['remote/Server.cpp:1: remote includes'
                                    ' "control/RobotMaster.h" (forbidden on the command line)'])

    def test_forbidden_header_is_found_through_a_relative_path(self):
        code, problems, out = run_check("upward", "--forbid", "motion=control/Master.h")
        self.assertEqual(code, 1, out)
        self.assertIn('motion/Path.cpp:1: motion includes "../control/include/control/Master.h"'
                      ' (forbidden on the command line)', problems)


if __name__ == "__main__":
    unittest.main()
