"""The defaults of the command and of :func:`refsieve_cli.match_tables`, in one place.

Scoring itself has no setting here: its rules and constants are the
engine's (:func:`refsieve_cli.engine.rules`).
"""

# match: matches kept per subject, and the lowest total kept (chosen on DBLP-ACM; see the README).
TOP_N = 1
MIN_SCORE = 125.0
# dedupe: the share of the pairs across two groups that the decision must call the same work for the groups
# to join (measured on Cora and DBLP-ACM; see the README).
SHARE = 0.5
# evaluate: the --min-score values tried, START:STOP:STEP.
THRESHOLDS = "80:160:5"
# Reading: texts cut to this many characters (0: no limit), unreadable values, encoding.
MAX_FIELD_LENGTH = 4000
BAD_VALUES = "error"
ENCODING = "utf-8"
# Subjects per scoring task on a Dask cluster.
PARTITION_SIZE = 2000
# match: a DOI match whose title score is below this has titles that do not agree (a warning).
DOI_TITLE_WARNING = 50.0
