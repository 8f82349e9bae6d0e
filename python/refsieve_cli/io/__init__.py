"""Reading and writing: input files into entries (:mod:`.readers`, one module per format in
:mod:`.formats`, the files themselves in :mod:`.sources`), truth files (:mod:`.truth`) and
output rows (:mod:`.output`)."""
