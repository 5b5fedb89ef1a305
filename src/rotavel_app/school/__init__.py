"""The school: the model of a school's week and day, and every door that reads one
(a CSV folder, FET, Untis and aSc exports, rotavel.toml)."""
