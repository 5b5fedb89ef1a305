"""The `rotavel` command: plans the day's cover for a school folder.

A school folder holds `teacher_list.csv` and `timetable.csv`; the command
reads them, marks the day's absences, lets the `rotavel` module find a
substitute for every lesson of every absent teacher, and prints the plan as
the module's report, a CSV table, a terminal table or an HTML cover board.
"""
