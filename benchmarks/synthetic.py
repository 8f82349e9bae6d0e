"""Synthetic bibliographic catalogues with known duplicates, for benchmarking
``refsieve dedupe`` and ``refsieve match`` at sizes no published data set has.

The generator invents a small world first: a vocabulary of syllable-built
words with Zipf-like frequencies (the most frequent words short, as in real
titles), topical families that share words, a pool of people with family
and given names made from syllables (common family names repeat, as they
do), research groups whose members write together over careers of a few to
forty years with Zipf-like productivity, and journals and conferences with
full and abbreviated names, publishers and DOI prefixes. It then writes
works: most are written once, some two to four times, a few more often,
and every version is rendered with the noise of real catalogues (typos,
dropped words or subtitles, letter case and punctuation, author order,
initials, name formats, a dropped author or "et al.", a year off by one,
missing fields, abbreviated venues, page and DOI spellings). Some distinct
works are deliberately close: parts of a series ("..., Part II") and a
conference paper with its journal version, besides the many works of one
group on one topic in nearby years.

Two modes:

``dedupe``
    ``catalogue.jsonl`` (exactly --records records, versions of one work
    scattered through the file) and ``truth.csv`` (``key1,key2``: every two
    records that are versions of one work, each pair once).
``match``
    ``candidates.jsonl`` (exactly --records works, each once and complete),
    ``subjects.jsonl`` (exactly --subjects references: versions of some of
    the candidates and of works not in the catalogue, --unmatched of them)
    and ``truth.csv`` (``subject_key,candidate_key``).

Both modes also write ``stats.json``: versions per work, how often each
kind of variation was applied, records per second.

    python benchmarks/synthetic.py dedupe --records 1000000 --seed 1 --out /tmp/syn1m
    python benchmarks/synthetic.py match --records 100000 --subjects 20000 --seed 1 --out /tmp/synm
    refsieve evaluate dedupe /tmp/syn1m/catalogue.jsonl --truth /tmp/syn1m/truth.csv

The output depends only on the arguments other than --out and --jobs: the
same seed gives the same bytes, with one process or several, and on
CPython 3.11 to 3.13 alike. Records are produced in blocks of works, each
from its own random stream, and written as they come; the file order is
shuffled through temporary bucket files, so memory holds the invented
world and one bucket (about 300 MB at 10 million records), never the
catalogue. One process makes 15,000 to 20,000 records a second (10 million
in 10 to 20 minutes); --jobs 2 gains little on two cores, since the main
process has the writing and the shuffle to do.

From Python: ``write_dedupe(out_dir, records, seed)``,
``write_match(out_dir, records, subjects, seed)``, and ``iter_works(...)``,
which yields each work's complete record and its versions.
"""

from __future__ import annotations

import argparse
import bisect
import json
import math
import os
import random
import shutil
import sys
import time
from array import array
from dataclasses import dataclass, field

FIELDS = ("key", "title", "author", "year", "journal", "volume", "number", "pages", "publisher", "doi")

# Every kind of difference a version can have from its work's complete record.
VARIATIONS = (
    "title_typo", "title_word_dropped", "subtitle_dropped", "title_case", "title_punctuation",
    "author_order", "author_initials", "author_last_first", "author_bibtex", "author_dropped",
    "author_et_al", "author_missing", "author_accents", "author_typo",
    "year_shifted", "year_missing",
    "doi_missing", "doi_case", "doi_prefix",
    "venue_abbreviated", "venue_missing", "volume_missing", "number_missing",
    "pages_missing", "pages_double_dash", "pages_pp", "publisher_missing",
)

FIRST_YEAR, LAST_YEAR = 1950, 2024
BLOCK_WORKS = 2048  # works per block: the unit of randomness and of parallel work
BUCKET_RECORDS = 200_000  # records per bucket of the shuffle, held in memory at once

# Share of works written more than once, and the tail of how often they are.
DUPLICATE_SHARE = 0.3
MAX_VERSIONS = 15

# Authors per work: mostly two to four.
_AUTHOR_COUNTS = (1, 2, 3, 4, 5, 6, 7, 8, 10, 12)
_AUTHOR_COUNT_CW = (12, 34, 57, 74, 84, 90, 94, 97, 99, 100)  # running totals of the shares

# ---------------------------------------------------------------------------
# Syllables: the raw material of every word and name.

_ONSETS = ("", "", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w", "z",
           "br", "cr", "dr", "fl", "gr", "pl", "pr", "st", "tr", "sh", "ch", "th", "sk", "sp", "qu")
_NUCLEI = ("a", "e", "i", "o", "u", "a", "e", "i", "o", "ai", "ea", "io", "ou", "y")
_CODAS = ("n", "r", "s", "l", "m", "t", "x", "nd", "st", "rk", "ng", "ct", "ss")
_NAME_ONSETS = ("", "b", "ch", "d", "f", "g", "h", "j", "k", "kh", "l", "m", "n", "p", "r", "s", "sh", "t",
                "ts", "v", "w", "y", "z", "zh", "br", "gr", "kr", "st", "tr")
_NAME_NUCLEI = ("a", "e", "i", "o", "u", "a", "e", "o", "ia", "ei", "ao", "ou", "ue", "an", "en", "in", "on")
_NAME_CODAS = ("n", "ng", "r", "l", "s", "k", "m", "t")
_NAME_ENDINGS = ("son", "berg", "ski", "ez", "ov", "er", "ini", "ama", "sen", "eau", "ic")
# Accented letters some names and a few words carry, and their plain forms.
_ACCENTED = {"a": "áàäå", "e": "éèë", "i": "í", "o": "óöø", "u": "úü", "n": "ñ", "c": "ç", "s": "š", "z": "ž"}
_STRIP_ACCENTS = str.maketrans({acc: plain for plain, accs in _ACCENTED.items() for acc in accs})

_ROMAN = ("I", "II", "III", "IV")
_SMALL_WORDS_RANKS = 12  # the most frequent words stay lower case in title case


def _syllable_word(rng, n, onsets=_ONSETS, nuclei=_NUCLEI, codas=_CODAS, p_coda=0.3):
    return "".join(rng.choice(onsets) + rng.choice(nuclei) + (rng.choice(codas) if rng.random() < p_coda else "")
                   for _ in range(n))


def _accented(rng, word):
    """The word with one letter accented, when it has one that can be."""
    places = [i for i, ch in enumerate(word) if ch in _ACCENTED]
    if not places:
        return word
    i = rng.choice(places)
    return word[:i] + rng.choice(_ACCENTED[word[i]]) + word[i + 1:]


def _zipf_cumulative(n, exponent, offset=1):
    total = 0.0
    cw = array("d", bytes(8 * n))
    for rank in range(n):
        total += 1.0 / (rank + offset) ** exponent
        cw[rank] = total
    return cw


def _draw(rng, cw):
    """An index drawn with the weights whose running totals are cw."""
    return bisect.bisect(cw, rng.random() * cw[-1])


def _versions_table(duplicate_share):
    """Probabilities of 1..MAX_VERSIONS versions: 1 - share once, the rest
    falling as k**-3 (about 62% twice, 18% three times, 12% five or more)."""
    tail = [k ** -3.0 for k in range(2, MAX_VERSIONS + 1)]
    s = sum(tail)
    probs = [1.0 - duplicate_share] + [duplicate_share * t / s for t in tail]
    cw, total = [], 0.0
    for p in probs:
        total += p
        cw.append(total)
    mean = sum((k + 1) * p for k, p in enumerate(probs))
    return cw, mean


# ---------------------------------------------------------------------------
# The invented world.


@dataclass
class Venue:
    full: str  # may hold "{n}" for the edition's ordinal
    abbreviated: str
    kind: str  # "journal", "conference" or "workshop"
    publisher: int
    first_year: int
    issues: int
    code: str


class World:
    """Vocabulary, topics, people, groups, venues and publishers, sized for
    about `works` works. Built from the seed alone."""

    def __init__(self, seed, works):
        rng = random.Random(f"{seed}:world")
        works = max(works, 100)
        self._make_vocabulary(rng, works)
        self._make_topics(rng, works)
        self._make_people(rng, works)
        self._make_venues(rng, works)
        self._make_generic_titles(rng)

    # Words --------------------------------------------------------------
    def _make_vocabulary(self, rng, works):
        # Heaps' law: distinct words grow about as the root of the words written.
        size = int(min(300_000, max(4000, 25 * math.sqrt(works * 8))))
        seen = set()
        words = []
        while len(words) < size:
            rank = len(words)
            if rank < _SMALL_WORDS_RANKS:  # the most frequent words are short
                word = rng.choice(_ONSETS[:19]) + rng.choice(_NUCLEI[:9])
            elif rank < 600:
                word = _syllable_word(rng, rng.choice((1, 2, 2)))
            else:
                word = _syllable_word(rng, rng.choice((2, 2, 2, 3, 3, 4)))
                if rng.random() < 0.02:
                    word = _accented(rng, word)
            if len(word) < 2 and rank >= _SMALL_WORDS_RANKS or word in seen:
                continue
            seen.add(word)
            words.append(word)
        self.words = words
        self.small_words = frozenset(words[:_SMALL_WORDS_RANKS])
        self.word_cw = _zipf_cumulative(size, 1.0)
        # Content words: the vocabulary without the small words, for topics and venues.
        self.content_cw = _zipf_cumulative(size - _SMALL_WORDS_RANKS, 1.0)

    def content_word(self, rng):
        return self.words[_SMALL_WORDS_RANKS + _draw(rng, self.content_cw)]

    # Topics -------------------------------------------------------------
    def _make_topics(self, rng, works):
        n = int(min(30_000, max(20, works // 600)))
        self.topics = []
        for _ in range(n):
            size = rng.randint(15, 50)
            chosen = []
            while len(chosen) < size:
                word = self.content_word(rng)
                if word not in chosen:
                    chosen.append(word)
            acronym = "".join(rng.choice("ABCDEFGHIKLMNPRSTVW") for _ in range(rng.randint(2, 4)))
            self.topics.append((chosen, list(_zipf_cumulative(size, 0.9)), acronym))

    # People -------------------------------------------------------------
    def _make_people(self, rng, works):
        n_people = int(max(300, works * 0.45))
        n_family = int(min(250_000, max(600, n_people // 25)))
        n_given = int(min(40_000, max(300, n_people // 150)))

        def names(count, syllables, p_ending):
            seen, out = set(), []
            while len(out) < count:
                name = _syllable_word(rng, rng.choice(syllables), _NAME_ONSETS, _NAME_NUCLEI, _NAME_CODAS, 0.25)
                if rng.random() < p_ending:
                    name += rng.choice(_NAME_ENDINGS)
                if len(name) < 2 or name in seen:
                    continue
                seen.add(name)
                if rng.random() < 0.08:
                    name = _accented(rng, name)
                out.append(name.capitalize())
            return out

        family = names(n_family, (1, 2, 2, 2, 3), 0.25)
        for i in range(len(family)):  # a few double family names
            if rng.random() < 0.03:
                family[i] = family[i] + "-" + rng.choice(family)
        self.family_names = family
        self.given_names = names(n_given, (1, 2, 2, 3), 0.0)
        # A few family names are very common (a percent or two of everyone).
        family_cw = _zipf_cumulative(n_family, 1.0, offset=8)
        given_cw = _zipf_cumulative(n_given, 0.8)

        self.person_given = array("i", (_draw(rng, given_cw) for _ in range(n_people)))
        self.person_middle = array("i", ((_draw(rng, given_cw) if rng.random() < 0.35 else -1)
                                         for _ in range(n_people)))
        self.person_family = array("i", (_draw(rng, family_cw) for _ in range(n_people)))

        # Productivity: Zipf over a random ranking, so that prolific people are
        # spread over the groups. Careers: most short, the prolific long.
        ranks = list(range(n_people))
        rng.shuffle(ranks)
        total = 0.0
        self.person_cw = array("d", bytes(8 * n_people))
        self.career_start = array("h", bytes(2 * n_people))
        self.career_length = array("h", bytes(2 * n_people))
        for p, rank in enumerate(ranks):
            total += 1.0 / (rank + 1) ** 0.85
            self.person_cw[p] = total
            prolific = rank < n_people * 0.02
            length = 1 + int(rng.expovariate(1 / 5.0)) + (rng.randint(12, 30) if prolific else 0)
            # More people publish every year: start years lean to the recent.
            start = LAST_YEAR - int(rng.expovariate(1 / 16.0)) - (length if prolific else length // 2)
            self.career_start[p] = max(FIRST_YEAR, min(LAST_YEAR, start))
            self.career_length[p] = min(45, length)

        # Groups: consecutive people who write together, each on a home topic.
        self.person_group = array("i", bytes(4 * n_people))
        self.group_start = array("i")
        self.group_size = array("i")
        self.group_topic = array("i")
        p = 0
        while p < n_people:
            size = min(n_people - p, rng.randint(2, 25))
            g = len(self.group_start)
            self.group_start.append(p)
            self.group_size.append(size)
            self.group_topic.append(rng.randrange(len(self.topics)))
            for q in range(p, p + size):
                self.person_group[q] = g
            p += size

    def person(self, rng):
        return _draw(rng, self.person_cw)

    # Venues -------------------------------------------------------------
    def _make_venues(self, rng, works):
        n_publishers = int(min(400, max(12, works // 20000)))
        self.publishers = []
        self.registrants = []
        forms = ("{} Press", "{} Verlag", "{} & {}", "{} Publishing", "{} Society", "{} University Press")
        used = set()
        while len(self.publishers) < n_publishers:
            form = rng.choice(forms)
            name = form.format(*(self.content_word(rng).capitalize() for _ in range(form.count("{}"))))
            if name in used:
                continue
            used.add(name)
            self.publishers.append(name)
            self.registrants.append(str(1000 + 37 * len(self.registrants) + rng.randrange(37)))
        publisher_cw = _zipf_cumulative(n_publishers, 1.1)

        n_venues = int(min(10_000, max(30, works // 1200)))
        self.venues = []
        codes = set()
        while len(self.venues) < n_venues:
            a, b = (self.content_word(rng).capitalize() for _ in range(2))
            roll = rng.random()
            if roll < 0.45:
                kind = "journal"
                full, abbr = rng.choice((
                    (f"Journal of {a} {b}", f"J. {_abbr(a)} {_abbr(b)}"),
                    (f"{a} {b} Journal", f"{_abbr(a)} {_abbr(b)} J."),
                    (f"Transactions on {a} and {b}", f"Trans. {_abbr(a)} {_abbr(b)}"),
                    (f"International Journal of {a} {b}", f"Int. J. {_abbr(a)} {_abbr(b)}"),
                    (f"{a} {b} Letters", f"{_abbr(a)} {_abbr(b)} Lett."),
                    (f"{a} Review", f"{_abbr(a)} Rev."),
                ))
                code = (a[:2] + b[:2]).lower()
            else:
                kind = "conference" if roll < 0.9 else "workshop"
                acronym = rng.choice(("IC", "", "S", "W", "E")) + a[0] + b[0] + rng.choice(("", "S", "C", "A"))
                if kind == "conference":
                    full = rng.choice((
                        f"Proceedings of the {{n}} International Conference on {a} {b}",
                        f"Proceedings of the {{n}} Annual Symposium on {a} and {b}",
                        f"{{n}} Conference on {a} {b}",
                    ))
                else:
                    full = f"Proceedings of the {{n}} Workshop on {a} {b}"
                abbr = rng.choice((f"Proc. {acronym}", acronym, f"{acronym} '{{yy}}"))
                code = acronym.lower()
            base = code
            k = 1
            while code in codes:
                k += 1
                code = f"{base}{k}"
            codes.add(code)
            self.venues.append(Venue(full, abbr, kind, _draw(rng, publisher_cw), rng.randint(FIRST_YEAR - 20, 2015),
                                     rng.choice((4, 6, 12)), code))
        self.venue_cw = _zipf_cumulative(n_venues, 0.9)
        self.journals = [i for i, v in enumerate(self.venues) if v.kind == "journal"]
        self.conferences = [i for i, v in enumerate(self.venues) if v.kind != "journal"]
        # Each topic publishes mostly in a handful of venues.
        self.topic_venues = [[_draw(rng, self.venue_cw) for _ in range(rng.randint(3, 7))] for _ in self.topics]

    def venue_name(self, v, year, abbreviated):
        venue = self.venues[v]
        text = venue.abbreviated if abbreviated else venue.full
        if "{" in text:
            text = text.replace("{n}", _ordinal(max(1, year - venue.first_year + 1))).replace(
                "{yy}", f"{year % 100:02d}")
        return text

    def _make_generic_titles(self, rng):
        # Short titles many unrelated works share (editorials, prefaces).
        self.generic_titles = []
        for _ in range(40):
            n = rng.choice((1, 1, 2, 2, 3))
            words = [self.words[_SMALL_WORDS_RANKS + rng.randrange(80)].capitalize() for _ in range(n)]
            self.generic_titles.append(" ".join(words))


def _abbr(word):
    return word if len(word) <= 5 else word[:4] + "."


def _ordinal(n):
    if 10 <= n % 100 <= 20:
        return f"{n}th"
    return f"{n}{ {1: 'st', 2: 'nd', 3: 'rd'}.get(n % 10, 'th')}"


# ---------------------------------------------------------------------------
# Works and their versions.


@dataclass
class Work:
    wid: int
    main: str  # the title before a subtitle
    sub: str  # the subtitle, or ""
    suffix: str  # the part of a series (", Part II"), or ""
    authors: list  # person ids, in order
    year: int
    venue: int
    volume: str
    number: str
    pages: tuple  # (first, last); last == first for one page
    doi: str  # lower case, or ""

    @property
    def title(self):
        return self.main + (": " + self.sub if self.sub else "") + self.suffix


@dataclass
class WorkVersions:
    """A work's complete record and the versions written of it."""
    work: Work
    complete: dict
    versions: list = field(default_factory=list)
    variations: list = field(default_factory=list)  # per version, the kinds applied


class Renderer:
    """Makes works and renders their records from one random stream."""

    def __init__(self, world, rng, counts):
        self.world = world
        self.rng = rng
        self.counts = counts  # variation kind -> times applied

    # A new work ------------------------------------------------------------
    def title_words(self, topic, n):
        w = self.world
        r = self.rng.random
        words, cw, acronym = w.topics[topic]
        top = cw[-1]
        vocabulary, wcw = w.words, w.word_cw
        wtop = wcw[-1]
        small = w.small_words
        out = []
        for _ in range(n):
            for _ in range(3):  # content words seldom come twice in one title
                if r() < 0.4:
                    word = words[bisect.bisect(cw, r() * top)]
                else:
                    word = vocabulary[bisect.bisect(wcw, r() * wtop)]
                if word in small or word not in out:
                    break
            out.append(word)
        if r() < 0.05:
            out[int(r() * n)] = acronym
        return out

    def case_title(self, words, title_case):
        small = self.world.small_words
        out = [words[0][0].upper() + words[0][1:]]
        for word in words[1:]:
            out.append(word[0].upper() + word[1:] if title_case and word not in small else word)
        # A few titles join two neighbouring content words into a compound.
        r = self.rng.random
        if len(out) > 1 and r() < 0.25:
            i = int(r() * (len(out) - 1))
            if words[i] not in small and words[i + 1] not in small:
                out[i:i + 2] = [out[i] + "-" + out[i + 1]]
        return " ".join(out)

    def new_work(self, wid):
        w, rng = self.world, self.rng
        r = rng.random
        lead = w.person(rng)
        group = w.person_group[lead]
        topic = w.group_topic[group] if r() < 0.85 else int(r() * len(w.topics))
        n_authors = _AUTHOR_COUNTS[bisect.bisect(_AUTHOR_COUNT_CW, r() * _AUTHOR_COUNT_CW[-1])]
        authors = [lead]
        g0, gn = w.group_start[group], w.group_size[group]
        tries = 0
        while len(authors) < n_authors and tries < 4 * n_authors:
            tries += 1
            p = g0 + int(r() * gn) if r() < 0.7 else w.person(rng)
            if p not in authors:
                authors.append(p)
        if len(authors) > 1 and r() < 0.35:  # the lead writes last, or in the middle
            authors.insert(1 + int(r() * len(authors)), authors.pop(0))
        year = min(LAST_YEAR, w.career_start[lead] + int(r() * (w.career_length[lead] + 1)))

        if r() < 0.004:
            main, sub = w.generic_titles[int(r() * len(w.generic_titles))], ""
        else:
            n = min(15, max(3, round(rng.gauss(8.0, 2.7))))
            title_case = r() < 0.65
            sub = ""
            if n >= 5 and r() < 0.25:
                k = 2 + int(r() * (min(6, n - 2) - 1))
                sub = self.case_title(self.title_words(topic, k), title_case)
                n -= k
            main = self.case_title(self.title_words(topic, n), title_case)

        if r() < 0.8:
            tv = w.topic_venues[topic]
            venue = tv[int(r() * len(tv))]
        else:
            venue = _draw(rng, w.venue_cw)
        return self._placed(Work(wid, main, sub, "", authors, year, venue, "", "", (0, 0), ""))

    def _placed(self, work):
        """Fills in the fields that follow from the venue and year: volume,
        issue, pages and DOI."""
        w, rng = self.world, self.rng
        r = rng.random
        venue = w.venues[work.venue]
        if venue.kind == "journal":
            work.volume = str(max(1, work.year - venue.first_year + 1))
            work.number = str(1 + int(r() * venue.issues))
            first = 1 + int(r() * 1500)
            length = max(1, int(rng.lognormvariate(2.4, 0.6)))
        else:
            work.volume = work.number = ""
            first = 1 + int(r() * 900)
            length = 3 + int(r() * 12)
        work.pages = (first, first if rng.random() < 0.02 else first + length)
        p_doi = 0.85 if work.year >= 2000 else 0.5 if work.year >= 1990 else 0.2
        if rng.random() < p_doi:
            registrant = w.registrants[venue.publisher]
            if venue.publisher % 2:
                work.doi = f"10.{registrant}/{venue.code}.{work.year}.{work.wid:07d}"
            else:
                work.doi = f"10.{registrant}/{1000000 + work.wid * 7 % 9000000}.{work.wid}"
        else:
            work.doi = ""
        return work

    def series(self, first, n):
        """Parts II.. of a series that `first` opens: the same title with
        another part number, the same authors, the same or the next year."""
        rng = self.rng
        style = rng.choice((", Part {}", ": Part {}", " (Part {})", " Part {}"))
        numerals = _ROMAN if rng.random() < 0.75 else ("1", "2", "3", "4")
        first.suffix = style.format(numerals[0])
        works = [first]
        for i in range(1, n):
            prev = works[-1]
            authors = list(prev.authors)
            if rng.random() < 0.2:
                authors.append(self.world.person(rng))
            venue = prev.venue if rng.random() < 0.7 else _draw(rng, self.world.venue_cw)
            year = min(LAST_YEAR, prev.year + (rng.random() < 0.5))
            works.append(self._placed(Work(first.wid + i, first.main, first.sub, style.format(numerals[i]),
                                           authors, year, venue, "", "", (0, 0), "")))
        return works

    def companion(self, conf):
        """The journal version of a conference paper: the same or nearly the
        same title and authors, a year or two later, other pages and DOI."""
        w, rng = self.world, self.rng
        if w.venues[conf.venue].kind == "journal" and w.conferences:
            conf.venue = w.conferences[_draw(rng, w.venue_cw) % len(w.conferences)]
            self._placed(conf)
        main = conf.main
        if rng.random() < 0.5:
            words = main.split()
            roll = rng.random()
            if roll < 0.4 and len(words) > 3:
                del words[rng.randrange(1, len(words))]
            elif roll < 0.7:
                words.insert(rng.randrange(1, len(words) + 1), w.content_word(rng))
            else:
                words[rng.randrange(len(words))] = w.content_word(rng).capitalize()
            main = " ".join(words)
        authors = list(conf.authors)
        if rng.random() < 0.3:
            authors.append(w.person(rng))
        venue = w.journals[_draw(rng, w.venue_cw) % len(w.journals)] if w.journals else conf.venue
        year = min(LAST_YEAR, conf.year + rng.choice((0, 1, 1, 2)))
        return self._placed(Work(conf.wid + 1, main, conf.sub, "", authors, year, venue, "", "", (0, 0), ""))

    # Records ---------------------------------------------------------------
    def person_name(self, p):
        """(given name, middle name or "", family name) of person p."""
        w = self.world
        given = w.given_names[w.person_given[p]]
        mid = w.person_middle[p]
        middle = w.given_names[mid] if mid >= 0 else ""
        return given, middle, w.family_names[w.person_family[p]]

    def author_text(self, authors, fmt, initials, et_al):
        """The author list in format fmt ("bibtex", "comma", "comma_and",
        "last_initials", "catalogue", "semicolon"), given names as
        `initials` says (0 full with middle initial, 1 full, 2 initials with
        full stops, 3 initials run together), "et al." or "others" after."""
        parts = []
        for p in authors:
            given, middle, family = self.person_name(p)
            if initials == 0:
                first = given + (" " + middle[0] + "." if middle else "")
            elif initials == 1:
                first = given + (" " + middle if middle else "")
            elif initials == 2:
                first = given[0] + "." + (" " + middle[0] + "." if middle else "")
            else:
                first = given[0] + (middle[0] if middle else "")
            if fmt == "bibtex" or fmt == "semicolon":
                parts.append(f"{family}, {first}")
            elif fmt == "last_initials":
                parts.append(f"{family}, {given[0]}." + (f" {middle[0]}." if middle else ""))
            elif fmt == "catalogue":
                parts.append(f"{family} {given[0]}{middle[0] if middle else ''}")
            else:
                parts.append(f"{first} {family}")
        if fmt == "bibtex":
            return " and ".join(parts) + (" and others" if et_al else "")
        if fmt == "semicolon":
            return "; ".join(parts) + ("; et al." if et_al else "")
        if fmt == "comma_and" and len(parts) > 1 and not et_al:
            return ", ".join(parts[:-1]) + " and " + parts[-1]
        return ", ".join(parts) + (" et al." if et_al else "")

    def complete_record(self, work, key):
        w = self.world
        record = {"key": key, "title": work.title, "author": self.author_text(work.authors, "comma", 0, False),
                  "year": work.year, "journal": w.venue_name(work.venue, work.year, False)}
        if work.volume:
            record["volume"] = work.volume
            record["number"] = work.number
        record["pages"] = _pages(work.pages, "-")
        record["publisher"] = w.publishers[w.venues[work.venue].publisher]
        if work.doi:
            record["doi"] = work.doi
        return record

    def version(self, work, key):
        """One catalogue's record of the work, with its own noise; returns the
        record and the kinds of variation applied."""
        w, rng, counts = self.world, self.rng, self.counts
        applied = []
        record = {"key": key}

        # Title.
        main, sub = work.main, work.sub
        r = rng.random
        if sub and r() < 0.35:
            sub = ""
            applied.append("subtitle_dropped")
        if r() < 0.06:
            words = main.split()
            if len(words) > 2:
                del words[rng.randrange(1, len(words))]
                main = " ".join(words)
                applied.append("title_word_dropped")
        title = main + (": " + sub if sub else "") + work.suffix
        if r() < 0.15:
            roll = r()
            if roll < 0.4:
                changed = title.replace(": ", " - ", 1) if ": " in title else title + "."
            elif roll < 0.7:
                changed = title.replace("-", " ").replace(":", "")
            else:
                changed = title.replace(",", "").replace(": ", ". ") + ("." if r() < 0.5 else "")
            if changed != title:
                title = changed
                applied.append("title_punctuation")
        if r() < 0.2:
            roll = r()
            if roll < 0.5:
                changed = title.lower()
            elif roll < 0.55:
                changed = title.upper()
            elif roll < 0.8:
                changed = title[:1] + title[1:].lower()
            else:
                changed = " ".join(t[:1].upper() + t[1:] for t in title.split(" "))
            if changed != title:
                title = changed
                applied.append("title_case")
        if r() < 0.12:
            for _ in range(1 if r() < 0.8 else 2):
                title = _typo(rng, title)
            applied.append("title_typo")
        record["title"] = title

        # Authors.
        if r() < 0.03:
            applied.append("author_missing")
        else:
            authors = work.authors
            if len(authors) > 1 and r() < 0.04:
                authors = list(authors)
                i = rng.randrange(len(authors) - 1)
                authors[i], authors[i + 1] = authors[i + 1], authors[i]
                applied.append("author_order")
            et_al = False
            if len(authors) >= 3 and r() < 0.06:
                authors = authors[:1] if r() < 0.6 else authors[:3 if len(authors) > 3 else 1]
                et_al = True
                applied.append("author_et_al")
            elif len(authors) > 1 and r() < 0.05:
                authors = list(authors)
                del authors[rng.randrange(len(authors))]
                applied.append("author_dropped")
            roll = r()
            fmt = ("bibtex" if roll < 0.3 else "comma" if roll < 0.55 else "comma_and" if roll < 0.65 else
                   "last_initials" if roll < 0.8 else "catalogue" if roll < 0.92 else "semicolon")
            initials = int(r() * 4)
            if fmt in ("last_initials", "catalogue") or initials >= 2:
                applied.append("author_initials")
            if fmt in ("last_initials", "catalogue", "semicolon", "bibtex"):
                applied.append("author_bibtex" if fmt == "bibtex" else "author_last_first")
            text = self.author_text(authors, fmt, initials, False)
            if r() < 0.4:
                plain = text.translate(_STRIP_ACCENTS)
                if plain != text:
                    text = plain
                    applied.append("author_accents")
            if r() < 0.03:
                text = _typo(rng, text)
                applied.append("author_typo")
            if et_al:  # after the typo, which is in a name
                text += " and others" if fmt == "bibtex" else "; et al." if fmt == "semicolon" else " et al."
            record["author"] = text

        # Year.
        roll = r()
        if roll < 0.03:
            applied.append("year_missing")
        elif roll < 0.06:
            record["year"] = work.year + (1 if r() < 0.5 else -1)
            applied.append("year_shifted")
        else:
            record["year"] = work.year

        # Venue and its numbers.
        roll = r()
        if roll < 0.08:
            applied.append("venue_missing")
        else:
            abbreviated = roll < 0.45
            record["journal"] = w.venue_name(work.venue, work.year, abbreviated)
            if abbreviated:
                applied.append("venue_abbreviated")
        if work.volume:
            if r() < 0.35:
                applied.append("volume_missing")
            else:
                record["volume"] = work.volume
            if r() < 0.45:
                applied.append("number_missing")
            else:
                record["number"] = work.number
        roll = r()
        if roll < 0.3:
            applied.append("pages_missing")
        else:
            if roll < 0.55:
                record["pages"] = _pages(work.pages, "--")
                if "--" in record["pages"]:
                    applied.append("pages_double_dash")
            elif roll < 0.65:
                record["pages"] = "pp. " + _pages(work.pages, "-")
                applied.append("pages_pp")
            else:
                record["pages"] = _pages(work.pages, "-")
        if r() < 0.55:
            applied.append("publisher_missing")
        else:
            record["publisher"] = w.publishers[w.venues[work.venue].publisher]

        # DOI: on some versions only, always the same DOI.
        if work.doi:
            if r() < 0.5:
                applied.append("doi_missing")
            else:
                doi = work.doi
                if r() < 0.15 and doi.upper() != doi:
                    doi = doi.upper()
                    applied.append("doi_case")
                roll = r()
                if roll < 0.2:
                    doi = ("https://doi.org/" if roll < 0.12 else "doi:" if roll < 0.17 else "http://dx.doi.org/") + doi
                    applied.append("doi_prefix")
                record["doi"] = doi

        for kind in applied:
            counts[kind] += 1
        return record, applied


def _pages(pages, dash):
    first, last = pages
    return str(first) if first == last else f"{first}{dash}{last}"


_TYPO_LETTERS = "abcdefghijklmnopqrstuvwxyz"


def _typo(rng, text):
    """One slip of the keyboard at a letter: an extra letter, a missing one,
    a wrong one, or two swapped."""
    letters = [i for i in range(len(text)) if text[i].isalpha()]
    if not letters:
        return text
    i = rng.choice(letters)
    kind = rng.randrange(4)
    ch = rng.choice(_TYPO_LETTERS)
    if text[i].isupper():
        ch = ch.upper()
    if kind == 0:
        return text[:i] + ch + text[i:]
    if kind == 1 and len(letters) > 1:
        return text[:i] + text[i + 1:]
    if kind == 3 and i + 1 < len(text) and text[i + 1] != text[i]:
        return text[:i] + text[i + 1] + text[i] + text[i + 2:]
    if ch == text[i]:
        ch = "e" if ch != "e" else "a"
    return text[:i] + ch + text[i + 1:]


# ---------------------------------------------------------------------------
# Plans: how many works, which roles and how many versions, decided in
# order by one process so that counts come out exact; the text of the
# works is then made block by block from each block's own stream.

_SINGLE, _PARTS, _COMPANION = 0, 1, 2


def _group_kind(rng):
    roll = rng.random()
    # Parts of a series are rare; a conference paper with a journal version less so.
    return _PARTS if roll < 0.006 else _COMPANION if roll < 0.046 else _SINGLE


def _scramble(n, salt):
    """A bijection of 40-bit numbers: keys that say nothing of the order the
    records were made in."""
    m = (1 << 40) - 1
    n = (n ^ salt) & m
    n = (n * 0x9E3779B97F) & m
    n ^= n >> 19
    n = (n * 0xC2B2AE3D27) & m
    n ^= n >> 21
    return n


def _plan_dedupe(seed, records, duplicate_share):
    """Blocks of (group kind, [versions per work]) adding up to `records`."""
    vcw, _ = _versions_table(duplicate_share)
    remaining = records
    b = 0
    while remaining > 0:
        rng = random.Random(f"{seed}:plan:{b}")
        block, works = [], 0
        while remaining > 0 and works < BLOCK_WORKS:
            kind = _group_kind(rng)
            n = 1 if kind == _SINGLE else 2 if kind == _COMPANION else rng.randint(2, 3)
            versions = []
            for _ in range(n):
                if remaining == 0:
                    break
                v = min(remaining, 1 + bisect.bisect(vcw, rng.random() * vcw[-1]))
                versions.append(v)
                remaining -= v
            block.append((kind, versions))
            works += len(versions)
        yield block
        b += 1


def _plan_match(seed, candidates, subjects, unmatched, duplicate_share):
    """Blocks of (group kind, [(in catalogue, subjects of the work)]): exactly
    `candidates` works in the catalogue, and exactly `subjects` subjects,
    round(subjects * unmatched) of them of works not in the catalogue. The
    chances adapt to what remains, so that the totals come out exact
    without a pile-up at the end."""
    vcw, mean = _versions_table(duplicate_share)
    outside_left = round(subjects * unmatched)
    matched_left = subjects - outside_left
    cat_left = candidates
    if cat_left == 0 and matched_left:
        raise ValueError("subjects of catalogue works need a catalogue")
    b = 0
    while cat_left or outside_left:
        rng = random.Random(f"{seed}:plan:{b}")
        block, works = [], 0
        while (cat_left or outside_left) and works < BLOCK_WORKS:
            kind = _group_kind(rng)
            n = 1 if kind == _SINGLE else 2 if kind == _COMPANION else rng.randint(2, 3)
            roles = []
            for _ in range(n):
                if not (cat_left or outside_left):
                    break
                draw = 1 + bisect.bisect(vcw, rng.random() * vcw[-1])
                outside_rate = outside_left / mean
                if cat_left == 0 or rng.random() * (outside_rate + cat_left) < outside_rate:
                    v = min(draw, outside_left)
                    outside_left -= v
                    roles.append((False, v))
                    continue
                if matched_left >= cat_left:  # every remaining work must be cited
                    v = min(matched_left, max(draw, -(-matched_left // cat_left)))
                elif rng.random() * cat_left * mean < matched_left:
                    v = min(draw, matched_left)
                else:
                    v = 0
                matched_left -= v
                cat_left -= 1
                roles.append((True, v))
            block.append((kind, roles))
            works += len(roles)
        yield block
        b += 1


# ---------------------------------------------------------------------------
# Making blocks.

_STATE = {}  # the world of this process


_dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def _block_works(world, seed, b, plan, first_wid, counts):
    """The works of one planned block: yields (group kind, role, Work)."""
    rng = random.Random(f"{seed}:block:{b}")
    rend = Renderer(world, rng, counts)
    wid = first_wid
    for kind, roles in plan:
        first = rend.new_work(wid)
        if kind == _PARTS:
            works = rend.series(first, len(roles)) if len(roles) > 1 else [first]
        elif kind == _COMPANION and len(roles) > 1:
            works = [first, rend.companion(first)]
        else:
            works = [first]
        for work, role in zip(works, roles):
            yield rend, role, work
        wid += len(roles)


def _joined(buckets):
    # One text per bucket: far quicker to pass between processes than lines.
    return ["".join(line + "\n" for line in lines) for lines in buckets]


def _make_block(task):
    """One block's text: a list of lines per output bucket, truth lines and
    statistics. task: (mode, seed, block index, plan, first work id, first
    record numbers, buckets)."""
    mode, seed, b, plan, first_wid, firsts, n_buckets = task
    world = _STATE["world"]
    counts = dict.fromkeys(VARIATIONS, 0)
    versions_hist = {}
    truth = []
    salt = seed * 7919 & 0xFFFFFFFFFF
    if mode == "dedupe":
        out = [[] for _ in range(n_buckets)]
        seq = firsts[0]
        for rend, versions, work in _block_works(world, seed, b, plan, first_wid, counts):
            keys = []
            for _ in range(versions):
                code = _scramble(seq, salt)
                seq += 1
                key = f"r{code:010x}"
                record, _ = rend.version(work, key)
                out[code % n_buckets].append(_dumps(record))
                keys.append(key)
            versions_hist[versions] = versions_hist.get(versions, 0) + 1
            for i in range(len(keys)):
                for j in range(i + 1, len(keys)):
                    truth.append(f"{keys[i]},{keys[j]}")
        return _joined(out), seq - firsts[0], None, 0, _joined([truth])[0], len(truth), counts, versions_hist
    out = [[] for _ in range(n_buckets)]  # candidates
    subs = [[] for _ in range(n_buckets)]
    cseq, sseq = firsts
    for rend, (in_catalogue, n_subjects), work in _block_works(world, seed, b, plan, first_wid, counts):
        ckey = None
        if in_catalogue:
            code = _scramble(cseq, salt)
            cseq += 1
            ckey = f"c{code:010x}"
            out[code % n_buckets].append(_dumps(rend.complete_record(work, ckey)))
        for _ in range(n_subjects):
            code = _scramble(sseq, salt ^ 0x5A5A5A5A5A)
            sseq += 1
            skey = f"s{code:010x}"
            record, _ = rend.version(work, skey)
            subs[code % n_buckets].append(_dumps(record))
            if ckey:
                truth.append(f"{skey},{ckey}")
        key = ("catalogue" if in_catalogue else "outside", n_subjects)
        versions_hist[key] = versions_hist.get(key, 0) + 1
    return (_joined(out), cseq - firsts[0], _joined(subs), sseq - firsts[1], _joined([truth])[0], len(truth), counts,
            versions_hist)


def _tasks(mode, seed, plans, n_buckets):
    wid = 0
    firsts = [0, 0]
    for b, plan in enumerate(plans):
        yield (mode, seed, b, plan, wid, tuple(firsts), n_buckets)
        for _, roles in plan:
            wid += len(roles)
            if mode == "dedupe":
                firsts[0] += sum(roles)
            else:
                firsts[0] += sum(1 for in_cat, _ in roles if in_cat)
                firsts[1] += sum(v for _, v in roles)


def _set_world(seed, works):
    _STATE["world"] = World(seed, works)


def _run_blocks(seed, works, tasks, jobs):
    """The blocks' results in order. Worker processes are started afresh and
    build the world from the seed themselves: a forked copy of a process
    with threads (a caller's, say) could inherit a held lock."""
    if jobs <= 1:
        _set_world(seed, works)
        yield from map(_make_block, tasks)
        return
    import multiprocessing

    with multiprocessing.get_context("spawn").Pool(jobs, initializer=_set_world, initargs=(seed, works)) as pool:
        yield from pool.imap(_make_block, tasks, chunksize=1)


class _BucketWriter:
    """Writes lines to a file in a shuffled order: lines go to bucket files
    first (by their key), and each bucket is shuffled in memory at the end.
    Without shuffling, lines go straight to the file."""

    def __init__(self, path, n_buckets, seed, shuffle):
        self.path = path
        self.seed = seed
        self.shuffle = shuffle
        self.count = 0
        if not shuffle:
            self.files = [open(path, "w", encoding="utf-8", newline="\n")] * n_buckets
            return
        self.tmpdir = path + ".parts"
        os.makedirs(self.tmpdir, exist_ok=True)
        self.files = [open(os.path.join(self.tmpdir, f"{i}.jsonl"), "w", encoding="utf-8", newline="\n")
                      for i in range(n_buckets)]

    def add(self, texts, lines):
        """Adds one text (whole lines) per bucket, `lines` lines in all."""
        for f, text in zip(self.files, texts):
            f.write(text)
        self.count += lines

    def close(self):
        if not self.shuffle:
            self.files[0].close()
            return
        with open(self.path, "w", encoding="utf-8", newline="\n") as out:
            for i, f in enumerate(self.files):
                f.close()
                with open(f.name, encoding="utf-8") as part:
                    lines = part.readlines()
                if self.shuffle:
                    random.Random(f"{self.seed}:shuffle:{os.path.basename(self.path)}:{i}").shuffle(lines)
                out.writelines(lines)
                os.remove(f.name)
        shutil.rmtree(self.tmpdir, ignore_errors=True)


def _buckets_for(records):
    return max(1, -(-records // BUCKET_RECORDS))


def _expected_works(records, duplicate_share):
    return int(records / _versions_table(duplicate_share)[1]) + 1


def _finish_stats(out_dir, stats, started, records_written):
    elapsed = time.perf_counter() - started
    stats["seconds"] = round(elapsed, 2)
    stats["records_per_second"] = round(records_written / elapsed) if elapsed else None
    with open(os.path.join(out_dir, "stats.json"), "w", encoding="utf-8") as f:
        json.dump(stats, f, indent=1, sort_keys=True)
        f.write("\n")
    return stats


def write_dedupe(out_dir, records, seed=1, duplicate_share=DUPLICATE_SHARE, shuffle=True, jobs=1):
    """Writes catalogue.jsonl (exactly `records` records), truth.csv and
    stats.json to out_dir; returns the statistics."""
    started = time.perf_counter()
    os.makedirs(out_dir, exist_ok=True)
    n_buckets = _buckets_for(records) if shuffle else 1
    writer = _BucketWriter(os.path.join(out_dir, "catalogue.jsonl"), n_buckets, seed, shuffle)
    counts = dict.fromkeys(VARIATIONS, 0)
    hist = {}
    pairs = 0
    plans = _plan_dedupe(seed, records, duplicate_share)
    with open(os.path.join(out_dir, "truth.csv"), "w", encoding="utf-8", newline="\n") as truth:
        truth.write("key1,key2\n")
        for out, n_out, _, _, text, n_pairs, block_counts, block_hist in _run_blocks(
                seed, _expected_works(records, duplicate_share), _tasks("dedupe", seed, plans, n_buckets), jobs):
            writer.add(out, n_out)
            truth.write(text)
            pairs += n_pairs
            for k, v in block_counts.items():
                counts[k] += v
            for k, v in block_hist.items():
                hist[k] = hist.get(k, 0) + v
    writer.close()
    stats = {
        "mode": "dedupe", "seed": seed, "records": writer.count, "works": sum(hist.values()), "true_pairs": pairs,
        "versions_per_work": {str(k): hist[k] for k in sorted(hist)}, "variations": counts,
    }
    return _finish_stats(out_dir, stats, started, writer.count)


def write_match(out_dir, records, subjects=None, seed=1, unmatched=0.25, duplicate_share=DUPLICATE_SHARE,
                shuffle=True, jobs=1):
    """Writes candidates.jsonl (exactly `records` works, complete),
    subjects.jsonl (exactly `subjects` references, a share `unmatched` of
    them to works outside the catalogue), truth.csv and stats.json."""
    started = time.perf_counter()
    if subjects is None:
        subjects = max(1, records // 10)
    os.makedirs(out_dir, exist_ok=True)
    outside = round(subjects * unmatched)
    works = records + int(outside / _versions_table(duplicate_share)[1]) + 1
    cand = _BucketWriter(os.path.join(out_dir, "candidates.jsonl"), _buckets_for(records) if shuffle else 1, seed,
                         shuffle)
    n_buckets = len(cand.files)
    subj = _BucketWriter(os.path.join(out_dir, "subjects.jsonl"), n_buckets, seed, shuffle)
    counts = dict.fromkeys(VARIATIONS, 0)
    hist = {}
    pairs = 0
    plans = _plan_match(seed, records, subjects, unmatched, duplicate_share)
    with open(os.path.join(out_dir, "truth.csv"), "w", encoding="utf-8", newline="\n") as truth:
        truth.write("subject_key,candidate_key\n")
        for out, n_out, subs, n_subs, text, n_pairs, block_counts, block_hist in _run_blocks(
                seed, works, _tasks("match", seed, plans, n_buckets), jobs):
            cand.add(out, n_out)
            subj.add(subs, n_subs)
            truth.write(text)
            pairs += n_pairs
            for k, v in block_counts.items():
                counts[k] += v
            for k, v in block_hist.items():
                hist[k] = hist.get(k, 0) + v
    cand.close()
    subj.close()
    per_work = {}
    for (role, n), v in sorted(hist.items()):
        per_work.setdefault(role, {})[str(n)] = v
    stats = {
        "mode": "match", "seed": seed, "candidates": cand.count, "subjects": subj.count, "true_pairs": pairs,
        "unmatched_subjects": subj.count - pairs, "subjects_per_work": per_work, "variations": counts,
    }
    return _finish_stats(out_dir, stats, started, cand.count + subj.count)


def iter_works(records, seed=1, duplicate_share=DUPLICATE_SHARE):
    """The works that write_dedupe(records, seed) writes, in the order they
    are made: WorkVersions with the complete record and the versions (with
    the same keys as in the files) and the kinds of variation of each."""
    _set_world(seed, _expected_works(records, duplicate_share))
    world = _STATE["world"]
    salt = seed * 7919 & 0xFFFFFFFFFF
    for mode, _, b, plan, wid, firsts, _ in _tasks("dedupe", seed, _plan_dedupe(seed, records, duplicate_share), 1):
        counts = dict.fromkeys(VARIATIONS, 0)
        seq = firsts[0]
        for rend, versions, work in _block_works(world, seed, b, plan, wid, counts):
            item = WorkVersions(work, rend.complete_record(work, f"w{work.wid}"))
            for _ in range(versions):
                record, applied = rend.version(work, f"r{_scramble(seq, salt):010x}")
                seq += 1
                item.versions.append(record)
                item.variations.append(applied)
            yield item


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("dedupe", "match"))
    parser.add_argument("--records", type=int, required=True,
                        help="records of the catalogue (dedupe) or candidates (match)")
    parser.add_argument("--subjects", type=int, help="match: subjects to write (default: records / 10)")
    parser.add_argument("--unmatched", type=float, default=0.25,
                        help="match: share of subjects whose work is not in the catalogue (default 0.25)")
    parser.add_argument("--duplicate-share", type=float, default=DUPLICATE_SHARE,
                        help=f"share of works with more than one version (default {DUPLICATE_SHARE})")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", required=True, help="output directory")
    parser.add_argument("--no-shuffle", action="store_true",
                        help="write records in the order they are made (versions of a work together)")
    parser.add_argument("--jobs", type=int, default=1, help="processes making blocks (the output is the same)")
    args = parser.parse_args(argv)
    if args.records < 0 or (args.subjects is not None and args.subjects < 0):
        parser.error("counts must not be negative")
    if not 0 <= args.unmatched <= 1 or not 0 <= args.duplicate_share < 1:
        parser.error("--unmatched must be in [0, 1] and --duplicate-share in [0, 1)")
    if args.mode == "dedupe":
        stats = write_dedupe(args.out, args.records, args.seed, args.duplicate_share, not args.no_shuffle, args.jobs)
    else:
        if args.records == 0 and (args.subjects or 0) and args.unmatched < 1:
            parser.error("subjects of catalogue works need --records > 0")
        stats = write_match(args.out, args.records, args.subjects, args.seed, args.unmatched, args.duplicate_share,
                            not args.no_shuffle, args.jobs)
    summary = {k: v for k, v in stats.items() if k != "variations"}
    print(json.dumps(summary), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
