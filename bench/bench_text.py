"""Speed of the text codecs against the host's own codec of the same encoding.

Run as `python bench/bench_text.py` (CPython or PyPy) with fieldpack importable. Inputs are the
text users have: pure ASCII, ASCII with a few accented letters (telemetry labels and names),
Latin-1 text, multilingual text (Greek, Cyrillic, CJK, emoji) and Windows-1252 text (euro sign,
curly quotes, dashes), each about 1 MiB, and short strings of a few dozen characters. Prints, per
case, the best time of each side and the ratio fieldpack / host; a ratio above the case's limit
is marked. Encoders get a str they have never seen on every call: CPython keeps a str's UTF-8
form once made, and PyPy keeps the C-level copy of a str once one was needed, so a str used
twice would flatter the second call. Times are the process's CPU time, so other work on a
shared machine disturbs them less than wall time.
"""

import platform
import random
import sys
import time

import fieldpack

MIB = 1 << 20
PYPY = platform.python_implementation() == "PyPy"
LIMIT = 2.0 if PYPY else 1.1  # against the host's own codec
WINDOWS_1252_LIMIT = 0.5

ASCII_WORDS = ("frame", "received", "at", "station", "battery", "bus", "current", "nominal",
               "pass", "downlink", "mode", "science", "heater", "rates", "attitude", "the")
ACCENTED_WORDS = ("café", "Zürich", "Ørsted", "naïve", "señal", "Größe", "déjà", "Åland")
WESTERN_WORDS = ("€12", "“quoted”", "‘single’", "Œuvre", "Žižek", "—", "…", "™", "•", "‰")
WORLD_WORDS = ("Καλημέρα", "κόσμε", "Съешь", "булок", "我能吞下玻璃", "日本語", "안녕하세요",
               "مرحبا", "🚀", "🛰", "𝔘𝔫𝔦𝔠𝔬𝔡𝔢")


def text_of(weighted_groups, seed, size=MIB):
    """A str of random words whose UTF-8 form is about `size` bytes long."""
    rng = random.Random(seed)
    words = [w for group, _ in weighted_groups for w in group]
    weights = [weight for group, weight in weighted_groups for _ in group]
    parts, length = [], 0
    while length < size:
        word = rng.choices(words, weights)[0]
        parts.append(word)
        length += len(word.encode("utf-8")) + 1
    return " ".join(parts)


PURE_ASCII = text_of([(ASCII_WORDS, 1)], 1)
MOSTLY_ASCII = text_of([(ASCII_WORDS, 60), (ACCENTED_WORDS, 1)], 2)
LATIN_1 = text_of([(ASCII_WORDS, 3), (ACCENTED_WORDS, 2)], 3)
MULTILINGUAL = text_of([(ASCII_WORDS, 2), (ACCENTED_WORDS, 1), (WORLD_WORDS, 4)], 4)
WESTERN = text_of([(ASCII_WORDS, 10), (ACCENTED_WORDS, 2), (WESTERN_WORDS, 2)], 5)
SHORT = [text_of([(ASCII_WORDS, 6), (ACCENTED_WORDS, 1)], seed, 40) for seed in range(64)]

# The pairs of the table: (fieldpack suffix, host codec, input label, text, limit).
CASES = [
    ("utf8", "utf-8", "pure ASCII", PURE_ASCII, LIMIT),
    ("utf8", "utf-8", "mostly ASCII", MOSTLY_ASCII, LIMIT),
    ("utf8", "utf-8", "multilingual", MULTILINGUAL, LIMIT),
    ("us_ascii", "ascii", "pure ASCII", PURE_ASCII, LIMIT),
    ("iso_8859_1", "latin-1", "Latin-1", LATIN_1, LIMIT),
    ("utf16le", "utf-16-le", "mostly ASCII", MOSTLY_ASCII, LIMIT),
    ("utf16be", "utf-16-be", "multilingual", MULTILINGUAL, LIMIT),
    ("utf32le", "utf-32-le", "multilingual", MULTILINGUAL, LIMIT),
    ("utf32be", "utf-32-be", "multilingual", MULTILINGUAL, LIMIT),
    ("windows_1252", "cp1252", "Windows-1252", WESTERN, WINDOWS_1252_LIMIT),
]
SHORT_CASES = [("utf8", "utf-8"), ("utf16le", "utf-16-le"), ("iso_8859_1", "latin-1"),
               ("windows_1252", "cp1252")]


def fresh(text):
    """A str equal to text that no codec has seen."""
    return (text + ".")[:-1]


def best_seconds(function, make_arguments, calls, repeats=7):
    """Best time per call; arguments for each round are made before the clock starts."""
    best = float("inf")
    for _ in range(repeats):
        arguments = make_arguments(calls)
        start = time.process_time()
        for argument in arguments:
            function(argument)
        best = min(best, (time.process_time() - start) / calls)
    return best


def compare(ours, theirs, make_arguments, calls):
    """Both sides timed in alternating rounds, so that drift in the machine's speed hits both."""
    times = [float("inf"), float("inf")]
    for _ in range(3):
        times[0] = min(times[0], best_seconds(ours, make_arguments, calls, 3))
        times[1] = min(times[1], best_seconds(theirs, make_arguments, calls, 3))
    return times


def report(name, label, ours, theirs, limit):
    ratio = ours / theirs
    verdict = "" if limit is None else ("ok" if ratio <= limit else f"OVER {limit}")
    unit, scale = ("ms", 1e3) if ours > 1e-4 else ("us", 1e6)
    print(f"{name:22} {label:14} {ours * scale:9.3f} {unit} {theirs * scale:9.3f} {unit} "
          f"{ratio:6.2f}  {verdict}")
    return limit is None or ratio <= limit


def main():
    print(f"{platform.python_implementation()} {sys.version.split()[0]}; 1 MiB inputs, best "
          f"of 9 rounds; limit {LIMIT}x the host's codec, Windows-1252 {WINDOWS_1252_LIMIT}x")
    print(f"{'function':22} {'input':14} {'fieldpack':>12} {'host':>12} {'ratio':>6}")
    within = True
    for suffix, codec, label, text, limit in CASES:
        data = text.encode(codec)
        decode = getattr(fieldpack, "decode_" + suffix)
        assert decode(data) == text, suffix
        times = compare(decode, lambda b, codec=codec: b.decode(codec), lambda n: [data] * n, 5)
        within &= report("decode_" + suffix, label, *times, limit)
    for suffix, codec, label, text, limit in CASES:
        encode = getattr(fieldpack, "encode_" + suffix)
        assert encode(fresh(text)) == text.encode(codec), suffix
        times = compare(encode, lambda s, codec=codec: s.encode(codec),
                        lambda n, text=text: [fresh(text) for _ in range(n)], 5)
        within &= report("encode_" + suffix, label, *times, limit)
    print("short strings, about 40 bytes, a fresh str for each encoder call:")
    for suffix, codec in SHORT_CASES:
        decode = getattr(fieldpack, "decode_" + suffix)
        encode = getattr(fieldpack, "encode_" + suffix)
        data = [text.encode(codec) for text in SHORT]
        times = compare(decode, lambda b, codec=codec: b.decode(codec),
                        lambda n: (data * (n // len(data) + 1))[:n], 20000)
        report("decode_" + suffix, "short", *times, None)
        times = compare(encode, lambda s, codec=codec: s.encode(codec),
                        lambda n: [fresh(SHORT[k % len(SHORT)]) for k in range(n)], 20000)
        report("encode_" + suffix, "short", *times, None)
    print("all within limits" if within else "some cases over their limits")


if __name__ == "__main__":
    main()
