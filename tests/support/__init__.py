"""What the tests of more than one file use: helpers, not fixtures (those are in conftest.py).

calls: calling the module from Python; model: a model of the module in Python; command:
running the `rotavel` command; schools: writing school folders; exports: writing other
programs' exports; web: a web desk's site and logging in to it.
"""
