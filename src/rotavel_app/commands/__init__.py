"""The `rotavel` command and the desk's commands: options, and one line and exit
status 2 for every bad input."""
