"""Positions that cannot be filled together, and atoms that come together.

The perchlorate anion of examples/disordered_perchlorate.cif takes two
orientations (groups 1 and 2 of one disorder assembly, half of the anions
each way). Weighting every pair of sites by the product of its occupancies
counts O-O pairs between the two orientations, which never exist, and gives
the real O-O pairs of one anion a quarter of their weight. This draws the O-O
partial both ways, broadened by 0.03 Å, and prints how many O neighbours an O
has below 2 Å and in the peak at 2.37 Å (the edge of the tetrahedron). Run
from the repository folder:

    python examples/disorder_pairs.py [out.png]
"""

import sys
import warnings
from pathlib import Path

from matplotlib.figure import Figure

import molvane

here = Path(__file__).resolve().parent
structure = molvane.read(here / "disordered_perchlorate.cif")
for decision in molvane.exclusions(structure)[:3]:
    print(decision)
with warnings.catch_warnings():
    warnings.simplefilter("ignore", molvane.ReadWarning)  # it says which pairs were weighted how
    curves = {pairs: molvane.rdf(structure, cutoff=4.0, bin_size=0.01, pairs=pairs)
              for pairs in ("independent", "physical")}
for pairs, result in curves.items():
    below, peak = (result.coordination("O", "O")[int(r / 0.01)] for r in (2.0, 2.5))
    print(f"{pairs:>11}: O around O below 2 A: {below:.3f}, in the 2.37 A peak: {peak - below:.3f}")

fig = Figure(figsize=(9.0, 3.4), layout="constrained")
axes = fig.subplots(1, 2, sharey=True)
for ax, (pairs, result) in zip(axes, curves.items()):
    smeared = result.smeared(0.03)
    ax.plot(smeared.r, smeared.g("O", "O"), color="C0" if pairs == "physical" else "C3", linewidth=1.4)
    ax.set_title(f'O–O, pairs="{pairs}"', fontsize="medium")
    ax.set_xlabel("r (Å)")
axes[0].set_ylabel("g$_{OO}$(r)")
for x, y in ((1.6, 25.0), (2.85, 4.0)):  # the two distances between orientations
    axes[0].annotate("between orientations:\npairs that never exist", xy=(x, y), xytext=(0.1, 30.0),
                     fontsize="small", arrowprops={"arrowstyle": "->", "color": "0.4"})
out = Path(sys.argv[1]) if len(sys.argv) > 1 else here.parent / "docs" / "disorder_pairs.png"
fig.savefig(out, dpi=100)
print(f"wrote {out}")
