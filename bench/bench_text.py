"""Speed of the text codecs against Python's own codec of the same encoding, on 1 MiB inputs.

Run as `python bench/bench_text.py` with fieldpack importable. Prints, per case, the best time of
each side and the ratio fieldpack / Python; a ratio above the case's limit is marked. Times are
the process's CPU time, so other work on a shared machine disturbs them less than wall time.
"""

import random
import sys
import time
import timeit

import fieldpack

MIB = 1 << 20
ASCII_WORDS = "the quick brown fox jumps over a lazy dog while telemetry frames arrive".split()
LATIN_WORDS = ["café", "naïve", "Ærø", "über", "señor", "façade", "déjà", "Öl"]
WESTERN_WORDS = ["€5", "“quoted”", "‘single’", "Œuvre", "—", "…", "™", "Šik", "ƒ"]
WORLD_WORDS = ["Привет", "мир", "Γειά", "σου", "こんにちは", "世界", "안녕", "שלום", "مرحبا",
               "😀", "🚀", "𝄞"]


def text_of(weighted_groups, seed):
    """A str of random words whose UTF-8 form is about 1 MiB long."""
    rng = random.Random(seed)
    words = [w for group, _ in weighted_groups for w in group]
    weights = [weight for group, weight in weighted_groups for _ in group]
    parts, length = [], 0
    while length < MIB:
        word = rng.choices(words, weights)[0]
        parts.append(word)
        length += len(word.encode("utf-8")) + 1
    return " ".join(parts)


ASCII = " ".join(ASCII_WORDS * 20000)[:MIB]
MOSTLY_ASCII = text_of([(ASCII_WORDS, 50), (LATIN_WORDS, 1), (["😀"], 1)], 1)
MULTILINGUAL = text_of([(ASCII_WORDS, 2), (LATIN_WORDS, 2), (WORLD_WORDS, 3)], 2)
WESTERN = text_of([(ASCII_WORDS, 20), (LATIN_WORDS, 3), (WESTERN_WORDS, 2)], 3)
LATIN = text_of([(ASCII_WORDS, 20), (LATIN_WORDS, 3)], 4)
MARKS = {"encode_utf16": b"\xfe\xff", "encode_utf32": b"\x00\x00\xfe\xff"}

# (fieldpack function, input label, text, Python codec, limit on the ratio or None)
DECODE_CASES = [
    (function, label, text, codec, limit)
    for label, text in (("mostly ASCII", MOSTLY_ASCII), ("multilingual", MULTILINGUAL))
    for function, codec, limit in (("decode_utf8", "utf-8", 1.1),
                                   ("decode_utf16be", "utf-16-be", 1.1),
                                   ("decode_utf16le", "utf-16-le", None),
                                   ("decode_utf32le", "utf-32-le", 1.1),
                                   ("decode_utf32be", "utf-32-be", None))
] + [
    ("decode_windows_1252", "western", WESTERN, "cp1252", 1.0),
    ("decode_windows_1252", "latin-1 only", LATIN, "cp1252", 1.0),
    ("decode_iso_8859_1", "latin-1 only", LATIN, "latin-1", None),
    ("decode_us_ascii", "ASCII", ASCII, "ascii", None),
]
ENCODE_CASES = [
    (function, label, text, codec, limit)
    for label, text in (("mostly ASCII", MOSTLY_ASCII), ("multilingual", MULTILINGUAL))
    for function, codec, limit in (("encode_utf8", "utf-8", 1.1),
                                   ("encode_utf16", "utf-16-be", 1.5),
                                   ("encode_utf16le", "utf-16-le", 1.5),
                                   ("encode_utf32le", "utf-32-le", 1.5),
                                   ("encode_utf32be", "utf-32-be", 1.5))
] + [
    ("encode_windows_1252", "western", WESTERN, "cp1252", 0.5),
    ("encode_windows_1252", "latin-1 only", LATIN, "cp1252", 0.5),
    ("encode_iso_8859_1", "latin-1 only", LATIN, "latin-1", None),
    ("encode_us_ascii", "ASCII", ASCII, "ascii", None),
]


def best_seconds(function, argument):
    timer = timeit.Timer(lambda: function(argument), timer=time.process_time)
    number = max(1, int(0.05 / max(timer.timeit(1), 1e-6)))
    return min(timer.repeat(repeat=7, number=number)) / number


def best_seconds_fresh(function, text):
    """Each call gets a str it has never seen, so no cached UTF-8 form helps either side."""
    best = float("inf")
    for _ in range(3):
        copies = [text.encode("utf-8").decode("utf-8") for _ in range(10)]
        start = time.process_time()
        for copy in copies:
            function(copy)
        best = min(best, (time.process_time() - start) / len(copies))
    return best


def report(name, label, ours, theirs, limit):
    ratio = ours / theirs
    verdict = "" if limit is None else ("ok" if ratio <= limit else f"OVER {limit}")
    print(f"{name:22} {label:14} {ours * 1e3:9.3f} ms {theirs * 1e3:9.3f} ms {ratio:6.2f}  "
          f"{verdict}")
    return limit is None or ratio <= limit


def main():
    print(f"{sys.implementation.name} {sys.version.split()[0]}; 1 MiB inputs; best of 7")
    print(f"{'function':22} {'input':14} {'fieldpack':>12} {'Python':>12} {'ratio':>6}")
    within = True
    for name, label, text, codec, limit in DECODE_CASES:
        ours, data = getattr(fieldpack, name), text.encode(codec)
        theirs = lambda b, codec=codec: b.decode(codec)  # noqa: E731
        assert ours(data) == theirs(data), name
        within &= report(name, label, best_seconds(ours, data), best_seconds(theirs, data), limit)
    for name, label, text, codec, limit in ENCODE_CASES:
        ours = getattr(fieldpack, name)
        theirs = lambda s, codec=codec: s.encode(codec)  # noqa: E731
        assert ours(text) == MARKS.get(name, b"") + theirs(text), name
        within &= report(name, label, best_seconds(ours, text), best_seconds(theirs, text), limit)
    # CPython keeps a str's UTF-8 form once made, and the rows above reuse one str; here every
    # call meets a new str, so fieldpack also pays for making its UTF-8 input.
    print("fresh str each call (UTF-8 form not cached):")
    for name, codec in (("encode_utf8", "utf-8"), ("encode_utf16le", "utf-16-le"),
                        ("encode_utf32le", "utf-32-le")):
        ours = best_seconds_fresh(getattr(fieldpack, name), MULTILINGUAL)
        theirs = best_seconds_fresh(lambda s, codec=codec: s.encode(codec), MULTILINGUAL)
        report(name, "multilingual", ours, theirs, None)
    print("all within limits" if within else "some cases over their limits")


if __name__ == "__main__":
    main()
