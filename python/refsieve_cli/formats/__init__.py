"""One module per input format; :mod:`refsieve_cli.readers` chooses among them."""
