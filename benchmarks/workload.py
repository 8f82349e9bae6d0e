"""Benchmark workloads: a deterministic synthetic generator of realistic
bibliographic records, and a loader for the DBLP-ACM benchmark data.

Records are the dicts that ``refsieve.score_batch`` takes. The same records
reach the C++ benchmark through ``write_tsv``.
"""

import csv
import html
import os
import random

RECORD_KEYS = ("index", "title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher")

# Common title words, most frequent first (drawn with Zipf-like weights).
_TITLE_WORDS = (
    "of the and for in a on with to data learning analysis based using systems model "
    "network networks approach efficient query distributed new towards method framework "
    "design performance evaluation algorithm algorithms study large scale neural deep "
    "optimization management information processing graph search databases database "
    "dynamic adaptive semantic web mining detection control parallel robust fast online "
    "structure structures theory application applications case time real multi high "
    "estimation classification representation generation recognition modeling "
    "from via under its an by as at is are toward beyond without between"
).split()

_UNICODE_WORDS = (
    "Müller", "Schrödinger", "Gödel", "Erdős", "théorie", "élémentaire", "über", "straße",
    "analyse", "ΣΥΣΤΗΜΑ", "λόγος", "Ἀρχή", "Δίκτυα", "система", "данных", "Łódź", "İstanbul",
    "naïve", "façade", "coöperative", "Ångström", "ﬁnite", "𝔘nicode", "東京", "データ",
)

_JOURNALS = (
    "Journal of the ACM", "Communications of the ACM", "ACM Transactions on Database Systems",
    "IEEE Transactions on Knowledge and Data Engineering", "The VLDB Journal", "SIGMOD Record",
    "Information Systems", "Data & Knowledge Engineering", "Machine Learning",
    "Journal of Machine Learning Research", "Neural Computation", "Artificial Intelligence",
    "Bioinformatics", "Nature", "Science", "Physical Review Letters", "Annals of Mathematics",
    "Journal of Computational Physics", "Computer Networks", "Distributed Computing",
    "Theoretical Computer Science", "Information and Computation", "Algorithmica",
    "Zeitschrift für Physik", "Revue d'économie politique", "Σύγχρονη Πληροφορική",
)

_PUBLISHERS = (
    "ACM", "IEEE", "Springer", "Elsevier", "MIT Press", "Cambridge University Press",
    "Oxford University Press", "Wiley", "Morgan Kaufmann", "Curran Associates", "USENIX Association",
    "Springer-Verlag", "Association for Computing Machinery", "Éditions Dunod",
)

_SYLLABLES = (
    "ka", "ro", "li", "an", "de", "mi", "to", "sa", "ne", "vo", "ri", "el", "ba", "chen", "wang",
    "zh", "ou", "ma", "ter", "son", "berg", "ski", "ova", "ic", "al", "er", "in", "us", "ta", "ko",
    "ha", "ya", "shi", "mo", "ra", "lu", "ge", "fi", "no", "be", "da", "go", "ti", "pe", "ju",
)
_ACCENTED_SYLLABLES = ("mü", "sø", "gö", "ré", "ñe", "ça", "žu", "łó", "ő", "ß", "å")


class SyntheticGenerator:
    """Deterministic realistic records: one seed, one list of records."""

    def __init__(self, seed=20240601):
        self.rng = random.Random(seed)
        rng = self.rng
        # A vocabulary: common words first, then invented domain words.
        invented = set()
        while len(invented) < 3000:
            word = "".join(rng.choice(_SYLLABLES) for _ in range(rng.randint(2, 4)))
            invented.add(word)
        self.words = list(_TITLE_WORDS) + sorted(invented)
        self.weights = [1.0 / (rank + 1) ** 0.9 for rank in range(len(self.words))]
        surnames = set()
        while len(surnames) < 1500:
            parts = [rng.choice(_SYLLABLES) for _ in range(rng.randint(2, 3))]
            if rng.random() < 0.08:
                parts[rng.randrange(len(parts))] = rng.choice(_ACCENTED_SYLLABLES)
            surnames.add("".join(parts).capitalize())
        self.surnames = sorted(surnames)
        self.given = sorted({"".join(rng.choice(_SYLLABLES) for _ in range(2)).capitalize() for _ in range(400)})

    def _title(self):
        rng = self.rng
        n = min(25, max(3, round(rng.lognormvariate(2.2, 0.4))))  # mostly 6 to 13 words
        words = rng.choices(self.words, weights=self.weights, k=n)
        if rng.random() < 0.15:
            words[rng.randrange(n)] = rng.choice(_UNICODE_WORDS)
        words[0] = words[0].capitalize()
        if rng.random() < 0.4:  # title case
            words = [w.capitalize() if len(w) > 3 else w for w in words]
        if rng.random() < 0.25 and n > 4:  # a subtitle
            cut = rng.randint(2, n - 2)
            words[cut - 1] += ":"
        if rng.random() < 0.02:
            words.insert(0, rng.choice(("Errata:", "A Review of", "Review:")))
        return " ".join(words)

    def _person(self):
        rng = self.rng
        return rng.choice(self.given), rng.choice(self.surnames)

    def _authors(self, people=None):
        rng = self.rng
        if people is None:
            people = [self._person() for _ in range(rng.choices((1, 2, 3, 4, 5, 6, 8), (20, 25, 20, 15, 10, 6, 4))[0])]
        style = rng.random()
        if style < 0.45:
            names = [f"{given} {surname}" for given, surname in people]
        elif style < 0.8:
            names = [f"{surname}, {given[0]}." for given, surname in people]
        else:
            names = [f"{surname} {given[0]}" for given, surname in people]
        joiner = " and " if rng.random() < 0.2 else ", "
        return joiner.join(names), people

    def candidate(self, index):
        """A catalogue record."""
        rng = self.rng
        title = self._title()
        author, people = self._authors()
        has_journal = rng.random() < 0.7
        record = {
            "index": index,
            "title": title,
            "author": author,
            "year": rng.randint(1950, 2024) if rng.random() < 0.95 else None,
            "doi": f"10.{rng.randint(1000, 9999)}/{rng.randrange(16**8):08x}" if rng.random() < 0.4 else None,
            "journal": rng.choice(_JOURNALS) if has_journal else None,
            "volume": str(rng.randint(1, 120)) if has_journal and rng.random() < 0.9 else None,
            "number": str(rng.randint(1, 12)) if has_journal and rng.random() < 0.8 else None,
            "pages": None,
            "publisher": rng.choice(_PUBLISHERS) if rng.random() < 0.5 else None,
        }
        if rng.random() < 0.8:
            first = rng.randint(1, 900)
            record["pages"] = f"{first}-{first + rng.randint(3, 40)}"
        record["_people"] = people
        return record

    def _noisy(self, text):
        """The same text as a reference list might give it."""
        rng = self.rng
        roll = rng.random()
        if roll < 0.3:
            return text
        if roll < 0.5:
            return text.lower()
        if roll < 0.6:
            return text.upper()
        if roll < 0.8:  # a typo
            chars = list(text)
            i = rng.randrange(len(chars))
            chars[i] = rng.choice("aeiounrst")
            return "".join(chars)
        words = text.split()
        if len(words) > 3:  # a dropped word and doubled spaces
            del words[rng.randrange(len(words))]
        return "  ".join(words)

    def reference_to(self, candidate, index):
        """A subject that cites candidate, with the usual noise."""
        rng = self.rng
        people = candidate["_people"]
        if rng.random() < 0.3 and len(people) > 3:
            people = people[:3]
        author, _ = self._authors(people)
        year = candidate["year"]
        if year is not None and rng.random() < 0.15:
            year += rng.choice((-1, 1, 2))
        doi = None
        if candidate["doi"] and rng.random() < 0.25:
            doi = candidate["doi"] if rng.random() < 0.8 else candidate["doi"].upper()
        journal = candidate["journal"]
        if journal and rng.random() < 0.3:
            journal = journal.lower().replace(" ", "  ")
        return {
            "index": index,
            "title": self._noisy(candidate["title"]),
            "author": author,
            "year": year,
            "doi": doi,
            "journal": journal if rng.random() < 0.8 else None,
            "volume": candidate["volume"] if rng.random() < 0.7 else None,
            "number": candidate["number"] if rng.random() < 0.6 else None,
            "pages": candidate["pages"] if rng.random() < 0.6 else None,
            "publisher": candidate["publisher"] if rng.random() < 0.3 else None,
        }

    def near_duplicate(self, candidate, index):
        """Another catalogue record for (nearly) the same work."""
        rng = self.rng
        record = dict(candidate, index=index)
        roll = rng.random()
        if roll < 0.3:
            record["title"] = "Errata: " + candidate["title"]
            record["doi"] = None
        elif roll < 0.6:
            record["title"] = self._noisy(candidate["title"])
            record["doi"] = None  # a preprint
            record["journal"] = record["volume"] = record["number"] = None
        else:
            record["year"] = None if candidate["year"] is None else candidate["year"] + 1
        return record


def synthetic(n_subjects, n_candidates, seed=20240601):
    """Subjects and candidates: about 10% of the candidates are near-duplicates
    of others, about 70% of the subjects cite a candidate and the rest cite
    nothing in the catalogue. The first n candidates do not depend on how
    many are asked for."""
    gen = SyntheticGenerator(seed)
    candidates = []
    for i in range(n_candidates):
        if candidates and gen.rng.random() < 0.1:
            candidates.append(gen.near_duplicate(gen.rng.choice(candidates), i))
        else:
            candidates.append(gen.candidate(i))
    subject_gen = SyntheticGenerator(seed + 1)
    subjects = []
    for i in range(n_subjects):
        if candidates and subject_gen.rng.random() < 0.7:
            # cite among the first 1000 candidates, so that the cited records
            # are the same whatever the catalogue size
            cited = candidates[subject_gen.rng.randrange(min(len(candidates), 1000))]
            subjects.append(subject_gen.reference_to(cited, i))
        else:
            record = subject_gen.candidate(i)
            subjects.append(record)
    for record in candidates + subjects:
        record.pop("_people", None)
    return subjects, candidates


def default_dblp_acm_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, "..", "..", "shared", "data", "dblp-acm"))


def _read_csv(path):
    raw = open(path, "rb").read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    return list(csv.DictReader(text.splitlines()))


def dblp_acm(root=None):
    """DBLP records as subjects and ACM records as candidates (the venue as
    journal, HTML entities decoded), or None when the data is absent."""
    root = root or default_dblp_acm_dir()
    if not os.path.exists(os.path.join(root, "DBLP2.csv")):
        return None

    def records(rows):
        return [
            {
                "index": i,
                "title": html.unescape(row["title"]),
                "author": html.unescape(row["authors"]),
                "year": int(row["year"]) if row["year"].strip() else None,
                "doi": None,
                "journal": html.unescape(row["venue"]),
                "volume": None,
                "number": None,
                "pages": None,
                "publisher": None,
            }
            for i, row in enumerate(rows)
        ]

    subjects = records(_read_csv(os.path.join(root, "DBLP2.csv")))
    candidates = records(_read_csv(os.path.join(root, "ACM.csv")))
    return subjects, candidates


def _escape(value):
    if value is None:
        return "\\N"
    return str(value).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def write_tsv(records, path):
    """One record a line, the ten fields tab-separated in key order;
    backslash escapes for tab, newline, carriage return and backslash;
    \\N for an absent field."""
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for record in records:
            out.write("\t".join(_escape(record[key]) for key in RECORD_KEYS) + "\n")


def repeated(records, n):
    """n records: records repeated in order, each copy a new dict with its
    own index (0 to n - 1)."""
    return [dict(records[i % len(records)], index=i) for i in range(n)]
