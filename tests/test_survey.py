"""The survey of real structure files (tests/data/survey, scripts/survey.py):
every file's reading by molvane is held fixed by its digest, and the table of
readings beside the peers' is kept with the files."""
import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SURVEY = ROOT / "tests" / "data" / "survey"


def survey_script():
    found = importlib.util.spec_from_file_location("survey", ROOT / "scripts" / "survey.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_no_surveyed_reading_changes():
    survey = survey_script()
    held = {}
    for line in (SURVEY / "DIGEST.tsv").read_text().splitlines()[1:]:
        name, digest, reading = line.split("\t")
        held[name] = (digest, reading)
    changed = []
    for name, *_ in survey.manifest():
        reading, digest = survey.molvane_reading(SURVEY / name)
        if (digest, reading) != held.get(name):
            changed.append(f"{name}: {held.get(name, ('', 'not in DIGEST.tsv'))[1]} -> {reading}")
    assert changed == []


def test_the_survey_is_complete_and_small():
    survey = survey_script()
    listed = {row[0] for row in survey.manifest()}
    present = {str(p.relative_to(SURVEY)) for p in SURVEY.rglob("*") if p.is_file()}
    assert present - {"MANIFEST.tsv", "DIGEST.tsv", "TABLE.md"} == listed
    assert all((SURVEY / name).stat().st_size <= 200_000 for name in listed)
    assert len(listed) >= 150 and len({row[1] for row in survey.manifest()}) >= 20
    table = (SURVEY / "TABLE.md").read_text()
    assert all(f"| {name} |" in table for name in listed) and "| NO |" not in table
