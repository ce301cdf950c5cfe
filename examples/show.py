"""Shows what corvex reads from a WIFF acquisition.

    python examples/show.py RUN.wiff
"""
import sys

import corvex


def main(path: str) -> int:
    try:
        samples = corvex.list_samples(path)
    except RuntimeError as error:
        print(f"corvex: {error}", file=sys.stderr)
        return 1
    print(f"{path}: {len(samples)} sample(s)")
    for name in samples:
        print(f"  {name}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
