"""The engine's fixed limits, as its header defines them."""

#: Bytes of a search pattern at most, wildcards included.
MAX_PATTERN_BYTES = 4096
#: Hits whose offsets a search keeps (the count goes on past them).
MAX_STORED_HITS = 10000
#: Edits staged at once.
MAX_EDITS = 1000
#: Bytes that staged writes and inserts hold at once (1 GiB).
MAX_STAGED_BYTES = 1073741824
#: Runs of differing bytes a compare keeps.
MAX_RUNS = 10000
#: Bytes at most in one compare run.
RUN_BYTES = 64
#: Bytes in one row of a page.
ROW_BYTES = 16
#: Rows one engine page holds at most (longer reads take several).
MAX_PAGE_ROWS = 1000
