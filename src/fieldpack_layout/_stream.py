"""What a packet stream's calls give besides the columns: the summary of the walk, the result that
carries it, and the warning of a walk that was not clean. Plain Python, so that all three pickle
as they are (a Dask worker sends them back) and print alike on every host."""

__all__ = ["StreamResult", "StreamSummary", "StreamWarning"]


class StreamWarning(UserWarning):
    """A stream's walk met something other than whole packets of known keys, in sequence: unknown
    keys, packets shorter than their layout, sequence gaps or repeats, segments, a truncated
    tail, or lost sync. Issued once per call; the result's summary says what and where."""


def _per_key(counts):
    return ", ".join(f"key {key!r}: {count}" for key, count in counts.items() if count)


def _packets(count):
    return f"{count} packet" if count == 1 else f"{count} packets"


class StreamSummary:
    """What a stream's walk found, per key of the layouts (in their order) and in all.

    packets: packets decoded (long enough for their layout); short: packets shorter than their
    layout, left out of the columns; gaps: packets missing by the sequence counts; repeats:
    packets with the same sequence count as the one before them; segmented: packets that are
    segments (a CCSDS stream's sequence flags other than 0b11). unknown: packets per key that no
    layout has, in the order first met; idle: idle packets; truncated: the bytes of the last
    packet, cut short by the end; lost_sync: the byte where the walk stopped because the bytes
    no longer read as packets (a length below the header's, a header check that fails), or None.
    """

    __slots__ = ("packets", "short", "gaps", "repeats", "segmented", "unknown", "idle",
                 "truncated", "lost_sync")

    def __init__(self, *, packets, short, gaps, repeats, segmented, unknown, idle, truncated,
                 lost_sync):
        self.packets, self.short, self.gaps = packets, short, gaps
        self.repeats, self.segmented, self.unknown = repeats, segmented, unknown
        self.idle, self.truncated, self.lost_sync = idle, truncated, lost_sync

    def _fields(self):
        return {name: getattr(self, name) for name in self.__slots__}

    @property
    def clean(self):
        """Whether every packet was a whole packet of a known key (or idle), in sequence."""
        return not self.problems()

    def problems(self):
        """What was not clean, one sentence each (the text of the call's StreamWarning)."""
        found = []
        unknown = sum(self.unknown.values())
        if unknown:
            found.append(f"{_packets(unknown)} of unknown keys ({_per_key(self.unknown)})")
        for counts, what in ((self.short, "shorter than their layout"),
                             (self.gaps, "missing by the sequence counts"),
                             (self.repeats, "repeating the sequence count before them"),
                             (self.segmented, "segmented")):
            total = sum(counts.values())
            if total:
                found.append(f"{_packets(total)} {what} ({_per_key(counts)})")
        if self.truncated:
            found.append(f"a truncated packet of {self.truncated} "
                         f"byte{'' if self.truncated == 1 else 's'} at the end")
        if self.lost_sync is not None:
            found.append(f"sync lost at byte {self.lost_sync}: the walk stopped there")
        return found

    def __eq__(self, other):
        if type(other) is not StreamSummary:
            return NotImplemented
        return self._fields() == other._fields()

    __hash__ = None

    def __repr__(self):
        return "StreamSummary(%s)" % ", ".join(f"{k}={v!r}" for k, v in self._fields().items())

    def __reduce__(self):
        return (_summary, tuple(self._fields().values()))


def _summary(*values):
    return StreamSummary(**dict(zip(StreamSummary.__slots__, values)))


class StreamResult(dict):
    """A stream call's result: a dict of key -> what the call gives for it (columns, or bytes),
    one entry per key of the layouts in their order, with the walk's ``summary``."""

    __slots__ = ("summary",)

    def __init__(self, items=(), summary=None):
        dict.__init__(self, items)
        self.summary = summary

    def __reduce__(self):
        return (StreamResult, (dict(self), self.summary))


def _warning_text(function, summary):
    return f"{function}(): " + "; ".join(summary.problems())
