# The documentation site: the user's guide, the developer's guide and the
# module's reference, written in Markdown (MyST) and built by Sphinx with
# warnings as errors (`make docs`).
project = "rotavel"
author = "the rotavel developers"
extensions = ["myst_parser"]
source_suffix = {".md": "markdown"}
myst_heading_anchors = 3
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = "rotavel"
