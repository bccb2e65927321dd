"""Stand-in for the langchain package: just the names the module imports, as test doubles."""
