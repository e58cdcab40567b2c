"""One module a measured figure, each with run(bench)."""
