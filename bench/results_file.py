"""bench/results/RESULTS.md in sections: a benchmark that runs on its own (the sparse rows, the MPI
program) replaces its own section and leaves the others as they are."""
import os

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "RESULTS.md")
CLOSING = "## What the figures mean"  # the closing section; new sections go before it


def section(heading):
    """The lines of the section under `heading` ("## ..."), or None."""
    if not os.path.exists(PATH):
        return None
    text = open(PATH).read().split("\n")
    start = next((k for k, l in enumerate(text) if l.startswith(heading)), None)
    if start is None:
        return None
    end = next((k for k in range(start + 1, len(text)) if text[k].startswith("## ")), len(text))
    return text[start:end]


def splice(heading, lines):
    """Puts `lines` (starting with `heading`) in place of that section, or before the closing one."""
    text = open(PATH).read().split("\n")
    start = next((k for k, l in enumerate(text) if l.startswith(heading)), None)
    if start is None:
        start = next((k for k, l in enumerate(text) if l.startswith(CLOSING)), len(text))
        end = start
    else:
        end = next((k for k in range(start + 1, len(text)) if text[k].startswith("## ")), len(text))
    text[start:end] = lines
    open(PATH, "w").write("\n".join(text))
