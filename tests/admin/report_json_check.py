#!/usr/bin/env python3
"""Checks a report's JSON against its schema, then prints every value as PATH=VALUE
(numbers whole or with 3 decimals).

usage: report_json_check.py SCHEMA JSON
Validates with python3-jsonschema when installed; otherwise checks that every object has the
properties its schema requires and no others where the schema forbids them. Exit 1 on a
violation, with the reason on stderr.
"""
import json
import sys


def structural(schema, value, path, defs):
    if "$ref" in schema:
        schema = defs[schema["$ref"].split("/")[-1]]
    if schema.get("type") == "object" or "properties" in schema:
        if not isinstance(value, dict):
            raise ValueError(f"{path}: not an object")
        for key in schema.get("required", []):
            if key not in value:
                raise ValueError(f"{path}: lacks {key}")
        props = schema.get("properties", {})
        for key, item in value.items():
            if key in props:
                structural(props[key], item, f"{path}.{key}", defs)
            elif schema.get("additionalProperties") is False:
                raise ValueError(f"{path}: unexpected {key}")
    elif schema.get("type") == "array":
        if not isinstance(value, list):
            raise ValueError(f"{path}: not an array")
        for i, item in enumerate(value):
            structural(schema.get("items", {}), item, f"{path}[{i}]", defs)


def flatten(value, path, out):
    if isinstance(value, dict):
        for key, item in value.items():
            flatten(item, f"{path}.{key}" if path else key, out)
    elif isinstance(value, list):
        for i, item in enumerate(value):
            flatten(item, f"{path}[{i}]", out)
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        # Numbers as the reports print them: whole ones bare, others with 3 decimals.
        out.append(f"{path}={int(value)}" if float(value).is_integer() else f"{path}={value:.3f}")
    else:
        out.append(f"{path}={json.dumps(value)}")


def main():
    schema = json.load(open(sys.argv[1]))
    doc = json.load(open(sys.argv[2]))
    try:
        import jsonschema
        jsonschema.validate(doc, schema)
    except ImportError:
        try:
            structural(schema, doc, "$", schema.get("$defs", {}))
        except ValueError as e:
            print(e, file=sys.stderr)
            return 1
    except jsonschema.ValidationError as e:
        print(e.message, "at", list(e.absolute_path), file=sys.stderr)
        return 1
    out = []
    flatten(doc, "", out)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
