"""Records: field names mapped (:mod:`.fields`), values read (:mod:`.values`) and made canonical
(:mod:`.canonical`, :mod:`.authors`), one builder from entries to records (:mod:`.builder`), and the
record and the table of one side (:mod:`.record`)."""
