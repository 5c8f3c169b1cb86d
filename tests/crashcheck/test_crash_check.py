"""The crash checker finds each wrong way of saving in its own writers and
nothing in the right ones; on the real program, the faults it found stay
fixed (each test replays the crash states that showed one)."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/crashcheck"))
import crash_check  # noqa: E402
import subjects  # noqa: E402

WORK = os.environ.get("KV_CRASH_WORK") or tempfile.mkdtemp(prefix="crash-check-")


def check(subject, work, states, **kw):
    checker = crash_check.Checker(subject, work, "/dev/shm", keep=3)
    try:
        checker.run(states, seed=1, **kw)
    finally:
        checker.close()
    return checker


class WritersTest(unittest.TestCase):
    def test_the_right_writers_pass(self):
        for mode in ("rename", "copy"):
            checker = check(subjects.Writer(mode), os.path.join(WORK, mode), 150)
            self.assertEqual(checker.violations, [], mode)
            self.assertEqual(sum(checker.states.values()), 150)

    def test_each_wrong_writer_is_found_with_its_crash_point_and_the_state_kept(self):
        for mode, finding in (("rename-early", "a line the program never wrote"),
                              ("truncate-early", "was durable before the cut and is lost"),
                              ("no-journal", "saved 2 times")):
            checker = check(subjects.Writer(mode), os.path.join(WORK, mode), 150)
            self.assertTrue(checker.violations, mode)
            where, _, found, folder = checker.violations[0]
            self.assertRegex(where, r"crash point \d+ \(after \w+ ", mode)
            self.assertTrue(any(finding in f for _, _, fs, _ in checker.violations for f in fs), mode)
            self.assertTrue(os.listdir(os.path.join(folder, "state")), mode)


class ServiceTest(unittest.TestCase):
    """Runs 0 and 3 save by rename into a log folder beside the settings,
    run 2 copies into another file system; runs 1 and 2 end without a save."""

    @classmethod
    def setUpClass(cls):
        cls.subject = subjects.Service(os.environ["KVLOGSERVER"], os.environ["SVCRUN"])
        cls.work = os.path.join(WORK, "service")
        checker = crash_check.Checker(cls.subject, cls.work, "/dev/shm")
        cls.runs = checker.record()
        checker.close()

    def replay(self, states, focus, hows, models=("posix", "ext4")):
        checker = check(self.subject, self.work, states, runs=self.runs, focus=focus, hows=hows, models=models)
        self.assertGreater(sum(checker.states.values()), 0)
        self.assertEqual([(w, n, f[:2]) for w, n, f, _ in checker.violations], [])

    def test_a_line_cut_short_at_the_end_of_the_buffer_file_is_left_out(self):
        self.replay(24, lambda run, op: op.kind == "write" and op.path.endswith("/KVLogService.buf"), ("torn",))

    def test_a_save_by_rename_makes_the_lines_durable_before_the_rename(self):
        self.replay(12, lambda run, op: op.kind == "rename" and op.path.endswith("/KVLogService.buf"), ("torn",))

    def test_a_new_buffer_file_is_in_its_folder_before_its_lines_count_as_durable(self):
        self.replay(16, lambda run, op: op.kind == "sync", ("data",), models=("posix",))

    def test_a_copying_save_notes_the_buffer_size_that_a_crash_leaves(self):
        self.replay(40, lambda run, op: run == 2 and op.kind in ("copy", "sync") and "/kvs" in op.path, ("none",))

    def test_the_buffer_file_is_durably_empty_before_the_journal_goes(self):
        self.replay(16, lambda run, op: op.kind in ("unlink", "dirsync") and run == 2, ("names", "none"),
                    models=("posix",))


if __name__ == "__main__":
    unittest.main()
