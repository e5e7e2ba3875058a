#!/usr/bin/python3
# Reads a metrics file with prometheus_client's own parser of the text format (an implementation
# independent of the service's) and prints what it understood:
#   TYPE <family> <type>
#   HELP <family> <text>
#   SAMPLE <name>{<label>="<value>",...} <value>
# A file the parser rejects ends with status 1 and the parser's message on standard error.
import sys

from prometheus_client.parser import text_string_to_metric_families


def main(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as error:  # the parser raises ValueError and others
        print(f"unparsable: {error}", file=sys.stderr)
        return 1
    for family in families:
        print(f"TYPE {family.name} {family.type}")
        print(f"HELP {family.name} {family.documentation}")
        for sample in family.samples:
            labels = ",".join(f'{k}="{v}"' for k, v in sorted(sample.labels.items()))
            print(f"SAMPLE {sample.name}{{{labels}}} {sample.value!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
