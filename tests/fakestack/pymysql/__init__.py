"""Stand-in for PyMySQL."""
