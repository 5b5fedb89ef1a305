"""`rotavel serve`: the cover desk as a local web application.

Flask and waitress come with the optional extra `rotavel[serve]`; nothing
in this package imports them until `rotavel serve` runs, so the planning
command starts as fast without them.
"""
