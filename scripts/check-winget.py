#!/usr/bin/env python3
"""Validates winget manifests against the schemas of their ManifestType
(JSON Schema Draft 7), reading YAML as winget does: versions and dates stay
text.

    scripts/check-winget.py SCHEMA_DIR MANIFEST_DIR

SCHEMA_DIR holds manifest.{version,installer,defaultLocale}.1.12.0.json.
Exits 1, naming each failure, unless every manifest in MANIFEST_DIR is valid
and there are exactly the three kinds."""
import glob
import json
import os
import sys

import jsonschema
import yaml


class Loader(yaml.SafeLoader):
    pass


Loader.yaml_implicit_resolvers = {
    key: [(tag, regexp) for tag, regexp in resolvers
          if tag not in ("tag:yaml.org,2002:float", "tag:yaml.org,2002:timestamp")]
    for key, resolvers in yaml.SafeLoader.yaml_implicit_resolvers.items()}


def main(schemas, folder):
    kinds, failures = [], 0
    for path in sorted(glob.glob(os.path.join(folder, "*.yaml"))):
        with open(path) as file:
            manifest = yaml.load(file, Loader=Loader)
        kind = manifest.get("ManifestType")
        kinds.append(kind)
        with open(os.path.join(schemas, f"manifest.{kind}.{manifest.get('ManifestVersion')}.json")) as file:
            schema = json.load(file)
        validator = jsonschema.Draft7Validator(schema, format_checker=jsonschema.FormatChecker())
        errors = list(validator.iter_errors(manifest))
        for error in errors:
            print(f"{os.path.basename(path)}: {'/'.join(map(str, error.path)) or '(top)'}: {error.message}")
        failures += bool(errors)
        print(f"{os.path.basename(path)}: {kind}, {'invalid' if errors else 'valid'}")
    if sorted(kinds) != ["defaultLocale", "installer", "version"]:
        print(f"expected one manifest of each kind, found {kinds}")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
