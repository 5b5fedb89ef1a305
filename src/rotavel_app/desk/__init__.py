"""The cover desk: the school's record (absences, covers, rules, publications) in SQLite,
and what it tells people."""
