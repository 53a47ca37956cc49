#!/usr/bin/env python3
"""Writes the entry files of the benchmark cases: a [Fe/Cr] multilayer on Si.

    make_entry.py NLAY NN J0 TRUE.ent START.ent

TRUE.ent holds the parameters from which tessaline-sim makes the data; START.ent
the same model with the free parameters moved away from them, the start of a fit.
Free: every thickness, N_p of the Fe layers and the roughness of the Cr layers
(2*NLAY parameters), plus the scale and the background.
"""
import sys


def entry(nlay, nn, j0, start):
    out = []
    def v(x, mark, note=""):
        out.append(f"{x!r:<12}{note}")
        out.append("F" if mark == "fixed" else "-")
    for c, note in ((0.0, "Pi(x)"), (0.97, "Pi(y)"), (0.0, "Pi(z)")):
        v(c, "fixed", note)
    out.append("--- analyser ---")
    for c, note in ((0.0, "Pf(x)"), (0.96, "Pf(y)"), (0.0, "Pf(z)")):
        v(c, "fixed", note)
    out.append("--- instrument ---")
    out += ["4.5         wavelength", f"{nn:<12}nn", f"{j0:<12}j0", "0.05        step [mrad]",
            "0.12        sigma [mrad]", "--- layers ---", f"{nlay:<12}nlay"]
    for k in range(1, nlay + 1):
        fe = k % 2 == 1
        out.append(f"--- layer {k}: {'Fe' if fe else 'Cr'} ---")
        d = (32.0 if fe else 11.0) + 0.7 * (k % 5)
        np_ = 4.9 - 0.02 * k if fe else 0.0
        sig = 3.0 + 0.1 * (k % 4)
        if start:
            d *= 1.0 + (0.02 if k % 3 else -0.015)
            if fe:
                np_ *= 0.95
            else:
                sig *= 1.15
        v(round(d, 4), "free", "thickness")
        v(8.02 if fe else 3.03, "fixed", "Re{Nb}")
        v(0.0, "fixed", "Im{Nb}")
        v(round(np_, 5), "free" if fe else "fixed", "N_p")
        v(1.0, "fixed", "<cos(delta_gamma)>")
        v(round(sig, 4), "fixed" if fe else "free", "Debye-Waller")
    out.append("--- substrate ---")
    for x, note in ((2.07, "Re{Nb}"), (0.0, "Im{Nb}"), (0.0, "N_p"), (1.0, "cos"), (4.0, "DW")):
        v(x, "fixed", note)
    out.append("--- gamma ---")
    v(1.0, "fixed", "<cos gamma>")
    v(0.0, "fixed", "<sin gamma>")
    v(0.0, "fixed", "<sin^2 gamma>")
    out.append("--- scale, illumination, background ---")
    v(1.05 if start else 1.0, "free", "total scaling")
    v(0.0, "fixed", "alpha_0 [mrad]")
    v(2e-6 if start else 1e-6, "free", "background")
    out += ["--- zero ---", "0.0         zero correction [mrad]"]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    nlay, nn, j0 = (int(a) for a in sys.argv[1:4])
    with open(sys.argv[4], "w") as f:
        f.write(entry(nlay, nn, j0, start=False))
    with open(sys.argv[5], "w") as f:
        f.write(entry(nlay, nn, j0, start=True))
