"""MkDocs hook: the performance chart comes straight from bench/results.

The bench writes its chart to bench/results/latest.png; the site shows that
file as performance's latest.png instead of keeping a copy in docs/.
"""

from pathlib import Path

from mkdocs.structure.files import File

CHART = Path(__file__).resolve().parents[1] / "bench" / "results" / "latest.png"


def on_files(files, config):
    if CHART.is_file():
        files.append(File.generated(config, "latest.png", abs_src_path=str(CHART)))
    return files
