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
WORLD_WORDS = ["Привет", "мир", "Γειά", "σου", "こんにちは", "世界", "안녕", "שלום", "مرحبا", "😀", "🚀", "𝄞"]


def text_of(words_and_weights, size_bytes, seed):
    """A str of random words whose UTF-8 form is about size_bytes long."""
    rng = random.Random(seed)
    words, weights = zip(*words_and_weights)
    parts, length = [], 0
    while length < size_bytes:
        word = rng.choices(words, weights)[0]
        parts.append(word)
        length += len(word.encode("utf-8")) + 1
    return " ".join(parts)


def weighted(words, weight):
    return [(w, weight) for w in words]


MOSTLY_ASCII = text_of(weighted(ASCII_WORDS, 50) + weighted(LATIN_WORDS, 1) + [("😀", 1)], MIB, 1)
MULTILINGUAL = text_of(weighted(ASCII_WORDS, 2) + weighted(LATIN_WORDS, 2) + weighted(WORLD_WORDS, 3), MIB, 2)
WESTERN = text_of(weighted(ASCII_WORDS, 20) + weighted(LATIN_WORDS, 3) + weighted(WESTERN_WORDS, 2), MIB, 3)
LATIN = text_of(weighted(ASCII_WORDS, 20) + weighted(LATIN_WORDS, 3), MIB, 4)


def best_seconds(function, argument):
    timer = timeit.Timer(lambda: function(argument), timer=time.process_time)
    number = max(1, int(0.05 / max(timer.timeit(1), 1e-6)))
    return min(timer.repeat(repeat=7, number=number)) / number


def best_seconds_fresh(function, texts):
    """Each call gets a str it has never seen, so no cached UTF-8 form helps either side."""
    best = float("inf")
    for _ in range(3):
        copies = [t.encode("utf-8").decode("utf-8") for t in texts]
        start = time.process_time()
        for copy in copies:
            function(copy)
        best = min(best, (time.process_time() - start) / len(copies))
    return best


def cp1252(text):
    return text.encode("cp1252")


def decode_cases():
    cases = []
    for label, text in (("mostly ASCII", MOSTLY_ASCII), ("multilingual", MULTILINGUAL)):
        cases += [
            ("decode_utf8", label, text.encode("utf-8"), lambda b: b.decode("utf-8"), 1.1),
            ("decode_utf16be", label, text.encode("utf-16-be"), lambda b: b.decode("utf-16-be"), 1.1),
            ("decode_utf16le", label, text.encode("utf-16-le"), lambda b: b.decode("utf-16-le"), None),
            ("decode_utf32le", label, text.encode("utf-32-le"), lambda b: b.decode("utf-32-le"), 1.1),
            ("decode_utf32be", label, text.encode("utf-32-be"), lambda b: b.decode("utf-32-be"), None),
        ]
    cases += [
        ("decode_windows_1252", "western", WESTERN.encode("cp1252"), lambda b: b.decode("cp1252"), 1.0),
        ("decode_windows_1252", "latin-1 only", LATIN.encode("cp1252"), lambda b: b.decode("cp1252"), 1.0),
        ("decode_iso_8859_1", "latin-1 only", LATIN.encode("latin-1"), lambda b: b.decode("latin-1"), None),
        ("decode_us_ascii", "ASCII", " ".join(ASCII_WORDS * 20000)[:MIB].encode(), lambda b: b.decode("ascii"), None),
    ]
    return cases


def encode_cases():
    cases = []
    for label, text in (("mostly ASCII", MOSTLY_ASCII), ("multilingual", MULTILINGUAL)):
        cases += [
            ("encode_utf8", label, text, lambda s: s.encode("utf-8"), 1.1),
            ("encode_utf16", label, text, lambda s: s.encode("utf-16-be"), 1.5),
            ("encode_utf16le", label, text, lambda s: s.encode("utf-16-le"), 1.5),
            ("encode_utf32le", label, text, lambda s: s.encode("utf-32-le"), 1.5),
            ("encode_utf32be", label, text, lambda s: s.encode("utf-32-be"), 1.5),
        ]
    cases += [
        ("encode_windows_1252", "western", WESTERN, cp1252, 0.5),
        ("encode_windows_1252", "latin-1 only", LATIN, cp1252, 0.5),
        ("encode_iso_8859_1", "latin-1 only", LATIN, lambda s: s.encode("latin-1"), None),
        ("encode_us_ascii", "ASCII", " ".join(ASCII_WORDS * 20000)[:MIB], lambda s: s.encode("ascii"), None),
    ]
    return cases


def report(name, label, ours, theirs, limit):
    ratio = ours / theirs
    verdict = "" if limit is None else ("ok" if ratio <= limit else f"OVER {limit}")
    print(f"{name:22} {label:14} {ours * 1e3:9.3f} ms {theirs * 1e3:9.3f} ms {ratio:6.2f}  {verdict}")
    return limit is None or ratio <= limit


def main():
    print(f"{sys.implementation.name} {sys.version.split()[0]}; 1 MiB inputs; best of 7")
    print(f"{'function':22} {'input':14} {'fieldpack':>12} {'Python':>12} {'ratio':>6}")
    within = True
    for name, label, data, theirs, limit in decode_cases():
        ours = getattr(fieldpack, name)
        assert ours(data) == theirs(data), name
        within &= report(name, label, best_seconds(ours, data), best_seconds(theirs, data), limit)
    for name, label, text, theirs, limit in encode_cases():
        ours = getattr(fieldpack, name)
        expected = theirs(text)
        if name in ("encode_utf16", "encode_utf32"):
            expected = (b"\xfe\xff" if name == "encode_utf16" else b"\x00\x00\xfe\xff") + expected
        assert ours(text) == expected, name
        within &= report(name, label, best_seconds(ours, text), best_seconds(theirs, text), limit)
    # CPython keeps a str's UTF-8 form once made, and the rows above reuse one str; here every
    # call meets a new str, so fieldpack also pays for making its UTF-8 input.
    print("fresh str each call (UTF-8 form not cached):")
    for name, theirs in (("encode_utf8", lambda s: s.encode("utf-8")),
                         ("encode_utf16le", lambda s: s.encode("utf-16-le")),
                         ("encode_utf32le", lambda s: s.encode("utf-32-le"))):
        texts = [MULTILINGUAL] * 10
        ours = best_seconds_fresh(getattr(fieldpack, name), texts)
        report(name, "multilingual", ours, best_seconds_fresh(theirs, texts), None)
    print("all within limits" if within else "some cases over their limits")


if __name__ == "__main__":
    main()
