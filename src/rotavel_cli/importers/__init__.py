"""Timetables exported by a school's timetabling program, read into the same
`Week` the CSV school folder gives."""
