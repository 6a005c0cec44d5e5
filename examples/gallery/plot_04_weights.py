"""
A biased simulation reweighted
==============================

Enhanced sampling (metadynamics, umbrella sampling, OPES) adds a bias potential V(x) so that
the simulation crosses its barriers often; the frames then sample the biased distribution, and
each frame's weight exp(V/kT) restores the unbiased one. PLUMED writes the bias as a column of
the COLVAR file, beside the collective variables.

Here a particle in a double well with a barrier of 5 kT runs under a static bias that removes
80 % of the barrier, as the bias of a well-tempered metadynamics run converges to a fraction of
the free energy. The COLVAR is read with NumPy, and TICA is fitted once without and once with
the weights (``weights=`` the bias column, ``bias_kT=`` kT).
"""

import os
import tempfile

import matplotlib.pyplot as plt
import numpy as np

from lagstat_tica import TICA

A = 5.0  # barrier height in kT
KEEP = 0.2  # the fraction of the barrier the bias leaves
rng = np.random.default_rng(7)


def bias(x):
    return -(1 - KEEP) * A * (x * x - 1) ** 2


frames, step = 40_000, 0.002
x, y = np.empty(frames), np.empty(frames)
pos = np.array([-1.0, 0.0])
for t in range(frames):
    for _ in range(5):  # overdamped Langevin, kT = 1, on the biased potential KEEP * A (x^2-1)^2 + y^2
        force = np.array([-4 * KEEP * A * pos[0] * (pos[0] ** 2 - 1), -2 * pos[1]])
        pos = pos + step * force + np.sqrt(2 * step) * rng.standard_normal(2)
    x[t], y[t] = pos

colvar = os.path.join(tempfile.mkdtemp(prefix="lagstat-gallery-"), "COLVAR")
columns = np.column_stack([np.arange(frames) * 0.01, x, y, x + 0.3 * y, bias(x)])
np.savetxt(colvar, columns, fmt="%.6f", header="FIELDS time x y mix metad.bias", comments="#! ")
with open(colvar) as f:
    print("".join(f.readlines()[:3]))

# %%
# Fit without and with the weights
# --------------------------------
# The bias column is never a feature: the features and the bias are passed apart.

data = np.loadtxt(colvar, comments="#")
features, v = data[:, 1:4], data[:, 4]
plain = TICA(lag=20).fit(features)
weighted = TICA(lag=20).fit(features, weights=v, bias_kT=1.0)
print("mean of x, unweighted: %.3f   weighted: %.3f" % (plain.mean_[0], weighted.mean_[0]))
print("variance of x, unweighted: %.3f   weighted: %.3f" % (plain.cov_[0, 0], weighted.cov_[0, 0]))

# %%
# What the weights change
# -----------------------
# The biased run samples the barrier region often; weighted, its frames give back the Boltzmann
# distribution of the unbiased double well, exp(−A (x² − 1)²), normalised. The weighted
# covariances estimate those of that distribution (the variance of x below, against its exact
# value), so the fitted model describes the unbiased ensemble; the unweighted ones describe the
# biased run. The weights correct the statistics, not the dynamics: the timescales stay those of
# the biased run, which crosses far more often than the unbiased particle would.

grid = np.linspace(-2, 2, 400)
boltzmann = np.exp(-A * (grid**2 - 1) ** 2)
boltzmann /= (np.trapezoid if hasattr(np, "trapezoid") else np.trapz)(boltzmann, grid)
w = np.exp(v - v.max())

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained")
left.hist(x, bins=80, range=(-2, 2), density=True, alpha=0.5, label="frames as sampled (biased)")
left.hist(x, bins=80, range=(-2, 2), density=True, weights=w, alpha=0.5, label="weighted by exp(V/kT)")
left.plot(grid, boltzmann, "k", lw=1, label="unbiased Boltzmann")
left.set(xlabel="x", ylabel="density", title="Sampled and reweighted", ylim=(0, 1.7))
left.legend(fontsize="small", loc="upper left")
right.plot(np.arange(frames)[::10] * 0.01, x[::10], lw=0.5)
right.set(xlabel="time", ylabel="x", title="The biased run crosses often")
plt.show()

integrate = np.trapezoid if hasattr(np, "trapezoid") else np.trapz
print("variance of x: unweighted %.3f, weighted %.3f, unbiased distribution %.3f"
      % (plain.cov_[0, 0], weighted.cov_[0, 0], integrate(grid**2 * boltzmann, grid)))
print("timescales (frames), unweighted:", np.round(plain.timescales_, 1))
print("timescales (frames), weighted:  ", np.round(weighted.timescales_, 1))
