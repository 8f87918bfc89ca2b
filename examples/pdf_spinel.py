"""G(r) of a partly inverse spinel, as an X-ray PDF experiment would measure it.

NiAl2O4 (examples/NiAl2O4.cif, COD 9006030): Ni and Al share both cation
sites, every site carries U_iso. This computes G(r) with the instrument's
Qmax and Q damping, writes it as a .gr file and, when PDFfit2 is installed,
lays PDFfit2's curve for the same model over it (difference below, Rw in the
legend). Run from the repository folder:

    python examples/pdf_spinel.py [out.png]
"""

import os
import sys
from pathlib import Path

import molvane

here = Path(__file__).resolve().parent
structure = molvane.read(here / "NiAl2O4.cif")
qmax, qdamp, delta2 = 25.0, 0.03, 2.0
result = molvane.pdf(structure, 1.0, 20.0, 0.01, scattering="xray", qmax=qmax, qdamp=qdamp, delta2=delta2,
                     pairs="independent")
print(result, f"rho0 = {result.rho0:.5f} 1/A^3")
for a, b in result.pairs:
    print(f"{a}-{b}: largest |part| {abs(result.partial(a, b)).max():.3f}")
result.write_gr("NiAl2O4.gr")

reference = None
try:
    from diffpy.pdffit2 import PdfFit, redirect_stdout  # type: ignore[import-untyped, unused-ignore]
    from diffpy.structure import loadStructure  # type: ignore[import-untyped, unused-ignore]
except ImportError:
    print("PDFfit2 is not installed: no comparison")
else:
    redirect_stdout(open(os.devnull, "w"))
    # diffpy.structure reads 'F d -3 m :2' in origin choice 1 and then ignores
    # the listed operations: give it the file without the group's names.
    text = [line for line in (here / "NiAl2O4.cif").read_text().splitlines() if "_space_group" not in line
            and "_symmetry_space_group" not in line and "_symmetry_int_tables" not in line and "_sg_H-M" not in line]
    Path("NiAl2O4-ops.cif").write_text("\n".join(text) + "\n")
    fit = PdfFit()
    fit.add_structure(loadStructure("NiAl2O4-ops.cif"))
    fit.alloc("X", qmax, qdamp, 1.0, 20.0, len(result.r))
    fit.setvar("delta2", delta2)
    fit.calc()
    reference = (fit.getR(), fit.getpdf_fit())
    worst = max(abs(a - b) for a, b in zip(result.G, reference[1])) / max(abs(v) for v in reference[1])
    print(f"largest difference from PDFfit2: {worst:.1e} of the largest |G|")

out = sys.argv[1] if len(sys.argv) > 1 else "NiAl2O4_pdf.png"
result.plot(out, data=reference, title="NiAl2O4, X-ray, Qmax 25 1/A", data_label="PDFfit2")
print(f"wrote {out}")
