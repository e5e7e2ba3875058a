#!/usr/bin/python3
"""chunk_sql.py FILE UID [CHUNK_BYTES] - prints the INSERT statements that store FILE in ficheiros
as chunks numbered 1, 2, 3, ... of CHUNK_BYTES (default 1 MiB), one statement per chunk, as
hexadecimal literals (binary-safe through the mariadb client)."""
import sys

MIB = 1024 * 1024


def main() -> int:
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 64
    path, uid = sys.argv[1], sys.argv[2]
    chunk_bytes = int(sys.argv[3]) if len(sys.argv) == 4 else MIB
    out = sys.stdout
    with open(path, "rb") as source:
        number = 0
        while True:
            chunk = source.read(chunk_bytes)
            if not chunk:
                break
            number += 1
            out.write("INSERT INTO ficheiros (UID, ID, package) VALUES ('%s', %d, 0x%s);\n"
                      % (uid, number, chunk.hex()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
