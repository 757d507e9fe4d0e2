#!/usr/bin/env python3
"""Reads a metrics exposition with the Prometheus client's own parser and
prints, one a line, "TYPE <sample name> <family type>" and, for the unit's
info, "LABEL <name>=<value as JSON>". Exits 1 when the text does not parse."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

try:
    with open(sys.argv[1], encoding="utf-8") as f:
        families = list(text_string_to_metric_families(f.read()))
except Exception as e:  # the parser's own complaint, for the test's message
    print("PARSE", e)
    sys.exit(1)
for family in families:
    for sample in family.samples:
        print("TYPE", sample.name, family.type)
        if sample.name == "psmr_unit_info":
            for name, value in sorted(sample.labels.items()):
                print("LABEL", name + "=" + json.dumps(value))
