#!/usr/bin/env python3
"""The benchmark's statistic: it must not jump between the steps in which Wine
starts a process, as a median does, and its spread must be honest."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "bench"))
import bench  # noqa: E402

STEPS = (0.050, 0.115)  # two start-up steps of Wine's, in seconds


def rounds(on_second_step, total=100):
    return [STEPS[1]] * on_second_step + [STEPS[0]] * (total - on_second_step)


class StatisticTest(unittest.TestCase):
    def test_a_round_more_on_the_next_step_moves_it_little(self):
        # 49 and 51 rounds of 100 on the slower step: a median jumps from 50 to 115 ms.
        fewer, more = bench.trimmed_mean(rounds(49)), bench.trimmed_mean(rounds(51))
        self.assertLess(abs(more - fewer), 0.005, f"{fewer * 1000:.1f} ms against {more * 1000:.1f} ms")

    def test_outliers_are_left_out(self):
        self.assertAlmostEqual(bench.trimmed_mean([0.016] * 90 + [5.0] * 10), 0.016)

    def test_spread_is_none_for_steady_times_and_covers_steps_otherwise(self):
        steady, spread = bench.with_spread({"a": [0.016] * 50}, lambda picked: bench.trimmed_mean(picked["a"]))
        self.assertEqual((round(steady, 6), spread), (0.016, 0.0))
        mixed = {"a": rounds(50)}
        mean, spread = bench.with_spread(mixed, lambda picked: bench.trimmed_mean(picked["a"]))
        self.assertGreater(spread, 0.003, "rounds split between two steps must show a spread")
        self.assertLess(spread, 0.03)
        self.assertAlmostEqual(mean, sum(STEPS) / 2, delta=0.002)


if __name__ == "__main__":
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
