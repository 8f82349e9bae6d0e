"""The commands, one module each: :mod:`.match`, :mod:`.dedupe`, :mod:`.evaluate`, :mod:`.explain`,
:mod:`.demo`; :mod:`.common` holds what they share. Each has ``run(args)``, given the parsed command line."""
