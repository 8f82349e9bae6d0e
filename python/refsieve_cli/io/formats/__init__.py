"""One module per input format; :mod:`refsieve_cli.io.readers` chooses among them."""
