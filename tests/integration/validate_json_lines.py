#!/usr/bin/env python3
"""Checks each line of a file against a JSON Schema: validate_json_lines.py SCHEMA LINES.

Prints every line that is not one valid object, with the validator's reason; exits 1 if any.
"""
import json
import sys

import jsonschema


def main():
    schema_path, lines_path = sys.argv[1], sys.argv[2]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    bad = 0
    count = 0
    with open(lines_path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            count += 1
            try:
                instance = json.loads(line)
            except ValueError as error:
                print(f"line {number}: not JSON ({error}): {line.rstrip()}")
                bad += 1
                continue
            errors = sorted(validator.iter_errors(instance), key=lambda e: e.path)
            if errors:
                print(f"line {number}: {errors[0].message}: {line.rstrip()}")
                bad += 1
    if count == 0:
        print("no lines")
        return 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
