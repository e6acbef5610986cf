"""The ready file every helper server of the tests writes once it listens."""

import os


def announce(ready_file, port):
    # Rename so the reader never sees a half-written file.
    temp = ready_file + ".tmp"
    with open(temp, "w") as out:
        out.write("%d\n" % port)
    os.rename(temp, ready_file)
