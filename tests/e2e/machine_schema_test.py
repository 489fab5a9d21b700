#!/usr/bin/env python3
"""sim/machine.schema.json against the hosted build's parser.

Every sample notebook validates and is taken by the parser; each refused
case of fixtures/machine_cases.json is refused by the parser (through the
check tool) and by the schema, unless the case says parser_only; each
accepted case is taken by both. Also: the check tool lists several
problems of one file, each with its field path.

usage: machine_schema_test.py SOURCE_DIR CHECK_MACHINE_EXE
"""
import glob
import json
import os
import subprocess
import sys
import tempfile
import unittest

import jsonschema  # Debian: python3-jsonschema (tools/setup installs it)

SOURCE, CHECK = sys.argv[1], sys.argv[2]


def read(path):
    with open(os.path.join(SOURCE, path), "rb") as f:
        return f.read()


SCHEMA = json.loads(read("sim/machine.schema.json"))
CASES = json.loads(read("tests/e2e/fixtures/machine_cases.json"))
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)
PROBLEM_EXIT = 100


def case_bytes(case):
    if "text" in case:
        return case["text"].encode("utf-8")
    return json.dumps(case["machine"], ensure_ascii=False).encode("utf-8")


def check(data):
    """Runs the check tool on a file of these bytes: (exit status, lines)."""
    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        f.write(data)
        f.flush()
        run = subprocess.run([CHECK, f.name], capture_output=True, text=True, timeout=30)
        lines = [line[len(f.name) + 2:] for line in run.stdout.splitlines()]
        return run.returncode, lines


def parser_path(path):
    """A schema error's path as the parser writes field paths."""
    out = ""
    for step in path:
        if isinstance(step, int):
            out += "[%d]" % step
        else:
            out = step if not out else out + "." + step
    return out


def inside(path, base):
    return base == "" or path == base or path.startswith(base + ".") or path.startswith(base + "[")


class Schema(unittest.TestCase):
    def test_is_a_valid_2020_12_schema(self):
        jsonschema.Draft202012Validator.check_schema(SCHEMA)

    def test_every_field_has_a_description(self):
        missing = []

        def walk(node, where):
            if isinstance(node, dict):
                for key, sub in node.get("properties", {}).items():
                    if "description" not in sub:
                        missing.append(where + "/" + key)
                for key, sub in node.items():
                    walk(sub, where + "/" + key)
            elif isinstance(node, list):
                for i, sub in enumerate(node):
                    walk(sub, "%s/%d" % (where, i))

        walk(SCHEMA, "")
        self.assertEqual(missing, [])

    def test_sample_machines_validate_and_parse(self):
        files = sorted(glob.glob(os.path.join(SOURCE, "sim/machines/*.json")))
        self.assertTrue(files)
        for path in files:
            with self.subTest(file=os.path.basename(path)):
                data = read(path)
                errors = [e.message for e in VALIDATOR.iter_errors(json.loads(data))]
                self.assertEqual(errors, [])
                self.assertEqual(check(data), (0, []))

    def test_refused_cases_are_refused_by_both(self):
        for case in CASES["refused"]:
            with self.subTest(case=case["name"]):
                status, lines = check(case_bytes(case))
                self.assertEqual(status, PROBLEM_EXIT)
                self.assertTrue(any(case["error"] in line for line in lines), lines)
                if "machine" not in case and "parser_only" in case:
                    continue
                value = case["machine"] if "machine" in case else json.loads(case["text"])
                errors = list(VALIDATOR.iter_errors(value))
                if "parser_only" in case:
                    # The note says why the schema takes it; a schema that
                    # learns to refuse it makes the note wrong.
                    self.assertEqual([e.message for e in errors], [], case["parser_only"])
                    continue
                self.assertTrue(errors, "the schema takes it")
                # The schema is about the same field or one around it.
                field = case["error"].split(":")[0]
                field = field[len("field "):] if field.startswith("field ") else ""
                paths = [parser_path(e.absolute_path) for e in errors]
                self.assertTrue(any(inside(field, p) for p in paths), paths)

    def test_accepted_cases_are_taken_by_both(self):
        for case in CASES["accepted"]:
            with self.subTest(case=case["name"]):
                value = case["machine"] if "machine" in case else json.loads(case["text"])
                self.assertEqual([e.message for e in VALIDATOR.iter_errors(value)], [])
                self.assertEqual(check(case_bytes(case)), (0, []))


class CheckTool(unittest.TestCase):
    def test_lists_each_problem_with_its_field(self):
        machine = {
            "sesion": 2,
            "clock": {"system_time": "2011-02-29T00:00:00.000Z"},
            "misc_driver": {"modle": "HT-K60", "model": 5,
                            "batteries": [{"part_number": 7, "date": "2012-02-30"}]},
            "battery_class": [{"design_capacity": 46080}, {"design_capacity": -1}],
        }
        status, lines = check(json.dumps(machine).encode())
        self.assertEqual(status, PROBLEM_EXIT)
        # The pack's date is not looked at: a problem in a list sets the
        # list aside, and its part number's "is required" that follows is
        # not listed.
        self.assertEqual(sorted(lines), sorted([
            "field sesion: unknown field",
            "field clock.system_time: has day 29, but February 2011 has 28 days",
            "field misc_driver.modle: unknown field",
            "field misc_driver.model: must be a text",
            'field misc_driver.batteries[0].part_number: must be a text or {"hex": ...}',
            "field battery_class[1].design_capacity: must be a non-negative integer",
        ]))

    def test_a_file_of_endless_problems_is_cut_short(self):
        machine = {"misc_driver": {"unknown%05d" % i: i for i in range(1000)}}
        status, lines = check(json.dumps(machine).encode())
        self.assertEqual(status, PROBLEM_EXIT)
        self.assertEqual(len(lines), 201)
        self.assertEqual(lines[0], "field misc_driver.unknown00000: unknown field")
        self.assertEqual(lines[-1], "more problems follow; the check stopped after 200 rounds")

    def test_command_line_and_files(self):
        run = subprocess.run([CHECK], capture_output=True, text=True, timeout=30)
        self.assertEqual((run.returncode, run.stdout), (2, ""))
        self.assertIn("usage", run.stderr)
        good = os.path.join(SOURCE, "sim/machines/recalled.json")
        run = subprocess.run([CHECK, good, "/dev/zero"], capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, PROBLEM_EXIT)
        self.assertEqual(run.stdout, "/dev/zero: is larger than 1048576 bytes, the most a machine file may hold\n")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
