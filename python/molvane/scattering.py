"""Weights of the elements as a scattering experiment sees them: coherent
neutron scattering lengths or atomic numbers (X-rays at Q = 0), from the
periodictable package, or given by the caller."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Literal, TypeAlias

__all__ = ["WEIGHT_SCHEMES", "Weights", "weights_of", "weights_label"]

# "neutron", "xray", or a weight per element (complex for absorbing nuclei).
Weights: TypeAlias = Literal["neutron", "xray"] | dict[str, float] | dict[str, complex]

WEIGHT_SCHEMES = ("neutron", "xray")


def weights_label(weights: Weights, display: bool = False) -> str:
    """The column name suffix ("neutron", "xray", "weighted"), or for a
    figure the phrase ("neutron-weighted", "X-ray-weighted", "weighted")."""
    if not isinstance(weights, str):
        return "weighted"
    return {"xray": "X-ray"}.get(weights, weights) + "-weighted" if display else weights


def weights_of(weights: Weights, elements: Iterable[str]) -> dict[str, float | complex]:
    """element → weight (complex for neutron lengths of absorbing nuclei)."""
    if isinstance(weights, str):
        if weights not in WEIGHT_SCHEMES:
            raise ValueError(f"weights must be 'neutron', 'xray' or a dict of element weights, not {weights!r}")
        return {e: _tabulated_weight(weights, e) for e in elements}
    if not isinstance(weights, dict):
        raise ValueError("weights must be 'neutron', 'xray' or a dict of element weights")
    names = list(elements)
    unknown = [key for key in weights if key not in names]
    if unknown:
        raise ValueError(f"weights given for {', '.join(map(repr, unknown))}, which "
                         f"{'is not an element' if len(unknown) == 1 else 'are not elements'} of this structure; "
                         f"the elements are {', '.join(names)}")
    out: dict[str, float | complex] = {}
    for e in names:
        if e not in weights:
            raise ValueError(f"no weight given for {e}")
        value = complex(weights[e])
        if not (math.isfinite(value.real) and math.isfinite(value.imag)):
            raise ValueError(f"the weight of {e} is not a finite number")
        out[e] = value if value.imag else value.real
    return out


def _tabulated_weight(scheme: str, symbol: str) -> float | complex:
    try:
        import periodictable
    except ImportError as exc:
        raise ImportError(
            f"{scheme} weights need the periodictable package: pip install 'molvane[scattering]'"
        ) from exc
    try:
        element = periodictable.elements.symbol(symbol)
    except ValueError:
        raise ValueError(f"{symbol} is not an element, so it has no {scheme} weight") from None
    if scheme == "xray":
        return float(element.number)
    b = getattr(element.neutron, "b_c", None)
    if b is None:
        raise ValueError(f"no coherent neutron scattering length is known for {symbol}")
    b_i = getattr(element.neutron, "b_c_i", None)
    return complex(b, b_i) if b_i else float(b)
