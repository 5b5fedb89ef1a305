"""Pages: what people read of a plan (the terminal table, the board, the slips, csv,
GPU014), from templates and one wording."""
