"""
Metastable states hidden in noisy features
==========================================

A particle diffuses (overdamped Langevin dynamics) on a potential with four wells,
V(x, y) = a (x² − 1)² + b (y² − 1)² with a > b: crossing in x is the slowest process, in y the
next. Four independent runs are written as text files of ten order parameters, in which x and y
are mixed with eight fast processes and measurement noise, as the features of a real system hide
its slow coordinates. TICA finds the two slow coordinates again from the files alone.

The simulation is that of ``examples/tica_example.py`` (what ``bash scripts/example.sh`` runs),
with shorter runs so that the page builds in seconds.
"""

import os
import sys
import tempfile

import matplotlib.pyplot as plt
import numpy as np

from lagstat_tica import TICA

try:
    here = os.path.dirname(os.path.abspath(__file__))
except NameError:  # sphinx-gallery runs the tutorials in their own folder, without __file__
    here = os.getcwd()
sys.path.insert(0, os.path.join(here, ".."))
from tica_example import make_runs  # noqa: E402  (the example script beside this folder)

workdir = tempfile.mkdtemp(prefix="lagstat-gallery-")
paths, positions = make_runs(workdir, frames=20_000, runs=4)
print([os.path.basename(p) for p in paths])
with open(paths[0]) as f:
    print("".join(f.readlines()[:3]))

# %%
# Fit
# ---
# One read of every file gives the covariances over the lagged pairs of all runs (no pair spans
# two files); the model keeps two components.

tica = TICA(lag=10, dim=2).fit(paths)
print("lagged pairs:", tica.n_pairs_, " columns:", tica.columns_)
print("   k   eigenvalue   timescale (frames)")
for k, (ev, ts) in enumerate(zip(tica.eigenvalues_[:4], tica.timescales_[:4]), start=1):
    print("%4d %12.6f %20.2f" % (k, ev, ts))

# %%
# Two timescales stand out: the crossings in x and in y. The others are the fast noise.
#
# Project
# -------
# ``transform_files`` writes each file's projection (here as ``.npy``) through ``lagstat.stream``'s
# machinery; ``transform`` projects frames in memory.

projections = tica.transform_files(paths, os.path.join(workdir, "proj"), format="npy")
y = np.concatenate([np.load(p) for p in projections])
well_x = np.sign(positions[:, :, 0]).ravel()
well_y = np.sign(positions[:, :, 1]).ravel()

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained")
left.hist2d(y[:, 0], y[:, 1], bins=80, cmap="viridis", norm="log")
left.set(xlabel="IC 1", ylabel="IC 2", title="Density of the projection")
quadrant = (well_x > 0) * 2 + (well_y > 0)
for q, name in enumerate(["x−, y−", "x−, y+", "x+, y−", "x+, y+"]):
    pick = quadrant == q
    right.scatter(y[pick, 0][::20], y[pick, 1][::20], s=2, label=name)
right.set(xlabel="IC 1", ylabel="IC 2", title="Coloured by the true well")
right.legend(markerscale=5, fontsize="small", loc="best")
plt.show()

# %%
# The four clusters of the density are the four wells: IC 1 separates the wells in x, IC 2
# those in y, although no single feature does.

for k in range(2):
    cx = abs(np.corrcoef(y[:, k], well_x)[0, 1])
    cy = abs(np.corrcoef(y[:, k], well_y)[0, 1])
    print("IC %d: |correlation| with the well in x %.2f, in y %.2f" % (k + 1, cx, cy))
