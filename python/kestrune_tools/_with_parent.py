"""Imported by the fork server of a batch's worker processes, first of all: the
server then ends with the batch's process, even when that one is killed, and takes
no thread of its own (it forks the workers)."""

from kestrune_tools.batch.signals import end_with_parent

end_with_parent(watch=False)
