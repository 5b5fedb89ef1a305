"""Planning: every rule expressed as the school handed to the module, and the module's
answer read back as the day's plan."""
