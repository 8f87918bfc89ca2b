"""Structure.disorder_summary: the list of sites that are not fully ordered."""

import math

import pytest

import molvane

CELL = [[4, 0, 0], [0, 4, 0], [0, 0, 4]]


def summary_of(*species):
    coords = [[i / 10, 0.25, -0.5] for i in range(len(species))]
    return molvane.Structure(CELL, coords, list(species)).disorder_summary()


@pytest.mark.parametrize(
    "species, occupancies, total, vacancy",
    [
        ({"Fe": 0.99999}, {"Fe": 0.99999}, 0.99999, 1 - 0.99999),
        ({"Ni": 0.5, "Fe": 0.5}, {"Fe": 0.5, "Ni": 0.5}, 1.0, 0.0),
        # Two species are disordered even when one of them is absent.
        ({"Fe": 1.0, "Ni": 0.0}, {"Fe": 1.0, "Ni": 0.0}, 1.0, 0.0),
        # Slightly overfull: the vacancy never goes negative.
        ({"Fe": 0.6, "Ni": 0.4005}, {"Fe": 0.6, "Ni": 0.4005}, 0.6 + 0.4005, 0.0),
        ({"O": 0.25}, {"O": 0.25}, 0.25, 0.75),
    ],
)
def test_listed_site(species, occupancies, total, vacancy):
    (entry,) = summary_of({"Cu": 1.0}, species)
    assert list(entry) == ["site_index", "frac_coords", "occupancies", "total_occupancy", "vacancy"]
    assert entry["site_index"] == 1
    assert entry["frac_coords"] == [0.1, 0.25, -0.5]  # as stored, not wrapped
    assert list(entry["occupancies"]) == list(occupancies)
    for key, value in occupancies.items():
        assert entry["occupancies"][key] == value or (math.isnan(value) and math.isnan(entry["occupancies"][key]))
    assert entry["total_occupancy"] == total or (math.isnan(total) and math.isnan(entry["total_occupancy"]))
    assert entry["vacancy"] == vacancy


def test_ordered_sites_are_skipped_and_indices_kept():
    result = summary_of({"Fe": 1.0}, {"Fe": 0.5}, {"Ni": 0.9999995}, {"Co": 1.0000004}, {"Ni": 0.5, "Co": 0.5})
    assert [e["site_index"] for e in result] == [1, 4]


def test_ordered_structure_gives_empty_list():
    assert summary_of({"Fe": 1.0}, {"Ni": 1.0}) == []


def test_signature_and_doc():
    method = molvane.Structure.disorder_summary
    assert method.__text_signature__ == "($self)"
    assert method.__doc__ == (
        "One entry per partially occupied site: index, coordinates, occupancies.\n\n"
        "Empty for a fully ordered structure, so it doubles as the check a\n"
        "caller needs before reporting anything to the user."
    )
    expand = molvane.Structure.expand_occupancies
    assert expand.__text_signature__ == "($self, max_sites=4096, seed=42, max_denominator=16)"
    assert expand.__doc__ == "Expand partial occupancies into an explicit ordered supercell."


def test_takes_no_arguments(cubic):
    with pytest.raises(TypeError):
        cubic.disorder_summary(1)
